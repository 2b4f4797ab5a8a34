// The objects a MIB file defines, read from the file itself: each name with its numeric OID and
// the macro that defines it, so that a test can tell whether what the agent serves is there.
#pragma once

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace testing_host {

struct MibObject {
    std::string name;
    std::string macro;  // "OBJECT-TYPE", "NOTIFICATION-TYPE", ...
    std::string access; // MAX-ACCESS of an OBJECT-TYPE
};

// By numeric OID ("1.3.6.1.4.1.32473.1.2.1.8"). Only `enterprises` is taken as known: every
// other parent must be defined in the file.
inline std::map<std::string, MibObject> read_mib(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string mib = text.str();
    // Comments run from "--" to the end of the line.
    mib = std::regex_replace(mib, std::regex("--[^\n]*"), "");
    const std::regex definition(
        R"((?:^|\n)([a-z][A-Za-z0-9-]*)\s+(OBJECT-TYPE|OBJECT IDENTIFIER|MODULE-IDENTITY|)"
        R"(NOTIFICATION-TYPE|OBJECT-GROUP|NOTIFICATION-GROUP|MODULE-COMPLIANCE|OBJECT-IDENTITY)\b)"
        R"(([\s\S]*?)::=\s*\{\s*([a-zA-Z][A-Za-z0-9-]*)\s+(\d+)\s*\})");
    struct Raw {
        std::string macro, body, parent, arc;
    };
    std::map<std::string, Raw> raw;
    for (std::sregex_iterator it(mib.begin(), mib.end(), definition), end; it != end; ++it)
        raw[(*it)[1]] = {(*it)[2], (*it)[3], (*it)[4], (*it)[5]};
    std::map<std::string, std::string> numeric{{"enterprises", "1.3.6.1.4.1"}};
    // Parents before children, whatever the file's order.
    for (bool progress = true; progress;) {
        progress = false;
        for (const auto &[name, r] : raw)
            if (!numeric.count(name) && numeric.count(r.parent)) {
                numeric[name] = numeric[r.parent] + "." + r.arc;
                progress = true;
            }
    }
    std::map<std::string, MibObject> out;
    const std::regex access(R"(MAX-ACCESS\s+([a-z-]+))");
    for (const auto &[name, r] : raw) {
        if (!numeric.count(name))
            continue;
        std::smatch m;
        std::regex_search(r.body, m, access);
        out[numeric[name]] = {name, r.macro, m.empty() ? "" : m[1].str()};
    }
    return out;
}

} // namespace testing_host
