#include "capture/format.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace capture {
namespace {

const char kHexDigits[] = "0123456789ABCDEF";

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool kept_as_is(unsigned char c) {
    return c > ' ' && c < 0x7F && c != '%';
}

bool parse_time(const std::string &text, uint64_t &out) {
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    out = value;
    return true;
}

std::vector<std::string> fields_of(const std::string &line) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (start <= line.size()) {
        const size_t blank = line.find(' ', start);
        const size_t end = blank == std::string::npos ? line.size() : blank;
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

} // namespace

std::string escape_bytes(const std::string &bytes) {
    std::string out;
    out.reserve(bytes.size() + 8);
    for (unsigned char c : bytes) {
        if (kept_as_is(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 0x0F];
        }
    }
    return out;
}

bool unescape_bytes(const std::string &text, std::string &bytes) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c != '%') {
            if (!kept_as_is(c))
                return false;
            out += static_cast<char>(c);
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = hex_value(text[i + 1]);
        const int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high << 4 | low);
        i += 2;
    }
    bytes = std::move(out);
    return true;
}

std::string format_record(const CaptureRecord &r) {
    std::string line = std::to_string(r.time_us);
    line += r.direction == CaptureRecord::Direction::Sent ? " > " : " < ";
    line += escape_bytes(r.port);
    line += ' ';
    line += r.device.empty() ? "-" : escape_bytes(r.device);
    line += ' ';
    line += escape_bytes(r.bytes);
    line += '\n';
    return line;
}

bool parse_record(const std::string &line, CaptureRecord &record) {
    const auto fields = fields_of(line);
    if (fields.size() != 5 || fields[4].empty())
        return false;
    CaptureRecord r;
    if (!parse_time(fields[0], r.time_us))
        return false;
    if (fields[1] == ">")
        r.direction = CaptureRecord::Direction::Sent;
    else if (fields[1] == "<")
        r.direction = CaptureRecord::Direction::Received;
    else
        return false;
    if (!unescape_bytes(fields[2], r.port) || !unescape_bytes(fields[3], r.device) ||
        !unescape_bytes(fields[4], r.bytes) || r.port.empty() || r.device.empty())
        return false;
    record = std::move(r);
    return true;
}

CaptureFile parse_capture(const std::string &text) {
    CaptureFile file;
    size_t start = 0;
    unsigned number = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        ++number;
        if (end == std::string::npos) {
            file.cut = true; // the writer was stopped inside this record
            break;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        CaptureRecord record;
        if (parse_record(line, record))
            file.records.push_back(std::move(record));
        else
            file.bad_lines.push_back(number);
    }
    return file;
}

CaptureFile read_capture(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw CaptureError(path + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    return parse_capture(text.str());
}

} // namespace capture
