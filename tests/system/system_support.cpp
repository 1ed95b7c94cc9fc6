#include "system_fixture.h"

namespace systest {

std::vector<std::string> pairsOf(const std::vector<uint8_t>& data) {
    std::vector<std::string> out;
    std::string cur;
    for (uint8_t b : data) {
        if (b == 0) {
            if (!cur.empty()) {
                out.push_back(cur);
            }
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(b));
        }
    }
    if (!cur.empty()) {
        out.push_back(cur);
    }
    return out;
}

} // namespace systest
