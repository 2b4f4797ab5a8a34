// The host's documents read back, for tests to look into, and a value written through the
// host's writer, for comparing it with the library's own.
#pragma once

#include "host/json/json_writer.h"

#include <json/reader.h>
#include <json/value.h>

#include <memory>
#include <string>

namespace testing_host {

// The infinities the documents write as +-1e+9999, which no reader takes, come back as
// infinities; null when the text is not one document.
inline Json::Value parsed(const std::string &text) {
    std::string readable;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!in_string && text.compare(i, 7, "1e+9999") == 0) {
            readable += "Infinity";
            i += 6;
            continue;
        }
        readable.push_back(c);
        if (in_string && c == '\\' && i + 1 < text.size())
            readable.push_back(text[++i]);
        else if (c == '"')
            in_string = !in_string;
    }
    Json::CharReaderBuilder builder;
    builder["allowSpecialFloats"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    if (!reader->parse(readable.data(), readable.data() + readable.size(), &value, nullptr))
        return Json::Value();
    return value;
}

inline void write_value(host::JsonWriter &w, const Json::Value &v) {
    switch (v.type()) {
    case Json::nullValue:
        w.null();
        break;
    case Json::intValue:
        w.number(v.asLargestInt());
        break;
    case Json::uintValue:
        w.number(v.asLargestUInt());
        break;
    case Json::realValue:
        w.real(v.asDouble());
        break;
    case Json::booleanValue:
        w.boolean(v.asBool());
        break;
    case Json::stringValue: {
        const char *begin = nullptr, *end = nullptr;
        v.getString(&begin, &end);
        w.text(std::string(begin, end));
        break;
    }
    case Json::arrayValue:
        w.array();
        for (const Json::Value &item : v)
            write_value(w, item);
        w.end();
        break;
    case Json::objectValue:
        w.object();
        for (auto it = v.begin(); it != v.end(); ++it) {
            const char *name_end = nullptr;
            const char *name = it.memberName(&name_end);
            w.key(std::string(name, name_end));
            write_value(w, *it);
        }
        w.end();
        break;
    }
}

// A value written through the host's writer, members in the value's (alphabetical) order.
inline std::string written(const Json::Value &value) {
    std::string out;
    host::JsonWriter w(out);
    write_value(w, value);
    return out;
}

} // namespace testing_host
