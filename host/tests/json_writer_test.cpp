// The host's single-line JSON against the library's own writer, which wrote every document
// before: the same bytes for every kind of value, and for the readings' numbers above all.
#include "host/json/json_writer.h"
#include "host/tests/json_reading.h"

#include <gtest/gtest.h>
#include <json/writer.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <sstream>

namespace {

std::string library_line(const Json::Value &value) {
    static const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["precision"] = 7;
        builder["emitUTF8"] = true;
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream text;
    writer->write(value, &text);
    return text.str();
}

// Compares one real at a time, so that a mismatch names the number.
void expect_same_real(double v) {
    std::string ours;
    host::append_real(ours, v);
    const std::string theirs = library_line(Json::Value(v));
    ASSERT_EQ(ours, theirs) << "for " << std::hexfloat << v;
}

TEST(CompactJson, RealsAreWrittenAsTheLibraryWroteThem) {
    // Readings as the driver keeps them: floats of hundredths, of either sign, and the steps
    // around every power of ten, where the last digit moves.
    for (int n = -200000; n <= 200000; ++n)
        expect_same_real(static_cast<float>(n) / 100.0f);
    for (int n = 0; n <= 10000; n += 7)
        expect_same_real(static_cast<float>(n) / 100.0f + 99000.0f);
    // Exact halves between two seventh digits, which printf rounds to even.
    for (double v : {1234567.5, 1234568.5, 123456.75, 123456.85, 0.00048828125, 2.5, 1.285938})
        expect_same_real(v);
    for (double p = 1e-6; p < 1e9; p *= 10)
        for (double v : {p, std::nextafter(p, 0.0), std::nextafter(p, 1e9), p * (1 - 1e-7),
                         p * (1 + 1e-7), p * (1 - 4e-8), p * (1 - 6e-8), p - 0.005, p + 0.005})
            expect_same_real(v);
    // Anything else: any bit pattern, and numbers of every size with a few decimals.
    std::mt19937_64 dice(23);
    for (int i = 0; i < 30000; ++i) {
        const uint64_t bits = dice();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        expect_same_real(v);
        expect_same_real(std::ldexp(static_cast<double>(dice() % 100000000), -int(dice() % 40)));
        expect_same_real(static_cast<double>(static_cast<int64_t>(dice() % 20000001) - 10000000) /
                         std::pow(10.0, static_cast<double>(dice() % 9)));
    }
    for (double v : {0.0, -0.0, std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::min(),
                     std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min()})
        expect_same_real(v);
}

TEST(CompactJson, DocumentsAreWrittenAsTheLibraryWroteThem) {
    Json::Value doc;
    doc["b"] = 53.12f;
    doc["a"]["nested"] = Json::Value(Json::arrayValue);
    doc["a"]["nested"].append(Json::Value(Json::objectValue));
    doc["a"]["nested"].append(Json::Value(Json::arrayValue));
    doc["a"]["nested"].append(Json::Value());
    doc["a"]["list"].append(1);
    doc["a"]["list"].append(-2);
    doc["a"]["list"].append(true);
    doc["a"]["list"].append(false);
    doc["ints"].append(Json::Value(std::numeric_limits<Json::Int64>::min()));
    doc["ints"].append(Json::Value(std::numeric_limits<Json::Int64>::max()));
    doc["ints"].append(Json::Value(std::numeric_limits<Json::UInt64>::max()));
    doc["ints"].append(Json::Value(0u));
    // Every ASCII byte in a value and in a key: escapes, the rest (UTF-8 included) as it stands.
    std::string bytes;
    for (int c = 1; c < 128; ++c)
        bytes.push_back(static_cast<char>(c));
    doc["text"] = bytes;
    doc[bytes] = "001#48V直流系统交流输入停电告警";
    doc[std::string("nul\0inside", 10)] = std::string("a\0b", 3);
    doc["Z"] = "";
    doc[""] = Json::Value(Json::objectValue);
    EXPECT_EQ(testing_host::written(doc), library_line(doc));
    for (const Json::Value &v : {Json::Value(), Json::Value(Json::arrayValue),
                                 Json::Value(Json::objectValue), Json::Value("x"), Json::Value(7)})
        EXPECT_EQ(testing_host::written(v), library_line(v));
    // A byte that is not part of well-formed UTF-8 (a stray continuation, a cut sequence, an
    // overlong form, a surrogate) becomes U+FFFD: the document stays valid JSON.
    EXPECT_EQ(testing_host::written(Json::Value("a\xff\xc3\xa9\x80\xe2\x82|\xc0\xaf\xed\xa0\x80z")),
              "\"a\\ufffd\xc3\xa9\\ufffd\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd\\ufffd\\ufffdz\"");
}

} // namespace
