// The names the host takes: that each block field's name reads the value at its stated place in
// the block document, and that names become the raw requests the driver takes. That `list` shows
// every name the driver knows is listing_test.cpp's.
#include "host/block/block_fields.h"
#include "host/core/named_requests.h"
#include "host/json/documents.h"
#include "host/tests/json_reading.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

// "rc_channels[1].out_i" in a block document.
Json::Value at(const Json::Value &document, const std::string &location) {
    Json::Value here = document;
    size_t from = 0;
    while (from < location.size()) {
        const size_t dot = std::min(location.find('.', from), location.size());
        std::string step = location.substr(from, dot - from);
        const size_t bracket = step.find('[');
        here = here[step.substr(0, bracket)];
        if (bracket != std::string::npos)
            here = here[std::stoi(step.substr(bracket + 1))];
        from = dot + 1;
    }
    return here;
}

// A block of noise: every field differs from its neighbours, so that a name read from the wrong
// place shows. Bytes below 0x40 keep every float finite.
std::vector<unsigned char> noise_block(unsigned modules, unsigned inputs) {
    std::vector<unsigned char> block(host::block_size(modules, inputs));
    std::mt19937 random(7);
    for (auto &byte : block)
        byte = static_cast<unsigned char>(random() % 0x40);
    rcData rc;
    std::memcpy(&rc, block.data(), sizeof rc);
    rc.channel_count = static_cast<uint8_t>(modules);
    std::memcpy(block.data(), &rc, sizeof rc);
    const size_t ac_at = sizeof rc + modules * sizeof(mpx23_rc_channel);
    acData ac;
    std::memcpy(&ac, block.data() + ac_at, sizeof ac);
    ac.channel_count = static_cast<uint8_t>(inputs);
    std::memcpy(block.data() + ac_at, &ac, sizeof ac);
    const size_t dc_at = ac_at + sizeof ac + inputs * sizeof(mpx23_ac_channel);
    dcData dc;
    std::memcpy(&dc, block.data() + dc_at, sizeof dc);
    dc.m_count = DcSizes::M_SIZE();
    dc.n_count = 3;
    dc.p_count = DcSizes::P_SIZE();
    std::memcpy(block.data() + dc_at, &dc, sizeof dc);
    return block;
}

TEST(Names, EachBlockFieldReadsWhatItsPlaceInTheDocumentHolds) {
    const auto block = noise_block(3, 2);
    host::DecodedBlock decoded;
    std::string error;
    ASSERT_TRUE(host::decode_block(block.data(), block.size(), decoded, error)) << error;
    const Json::Value document =
        testing_host::parsed(host::block_document(1, decoded, block.data(), block.size()));
    for (size_t i = 0; i < host::kBlockFieldCount; ++i) {
        const host::BlockField &field = host::kBlockFields[i];
        const size_t last = field.how_many(decoded);
        ASSERT_GT(last, 0u) << field.name;
        for (size_t n : {size_t{1}, last}) {
            const std::string name = host::field_name(field, n);
            double value = 0.0;
            ASSERT_EQ(host::read_block_field(name, &decoded, value, error), host::BlockValue::Read)
                << name;
            const Json::Value expected = at(document, host::field_location(field, n));
            ASSERT_TRUE(expected.isNumeric()) << name << " at " << host::field_location(field, n);
            EXPECT_FLOAT_EQ(static_cast<float>(value), expected.asFloat()) << name;
        }
    }
    double value = 0.0;
    EXPECT_EQ(host::read_block_field("module4.current", &decoded, value, error),
              host::BlockValue::Missing);
    EXPECT_EQ(error, "the block holds 3 (rcData.channel_count), not 4");
    for (const char *unknown : {"module0.current", "module01.current", "modulex.current", "out_v"})
        EXPECT_FALSE(host::is_block_field(unknown)) << unknown;
}

TEST(Names, RequestsByNameBecomeTheRawFormAndTheSafeguardsHold) {
    const auto plain = host::command_line_confirmations(false, false);
    const auto confirmed = host::command_line_confirmations(true, true);
    using Verdict = host::CheckedRequest::Verdict;
    const struct {
        const char *given;
        bool set;
        bool confirm;
        Verdict verdict;
        const char *raw_or_reason;
    } cases[] = {
        {"module-off:2", false, false, Verdict::Accepted, "419500200002"},
        {"module-on:12", false, false, Verdict::Accepted, "419500201012"},
        {"equalise", false, false, Verdict::Accepted, "419500600000"},
        {"equalise:3", false, false, Verdict::Accepted, "419500600003"},
        {"419500602001", false, false, Verdict::Accepted, "419500602001"},
        {"module-off", false, false, Verdict::Malformed,
         "module-off needs a module: module-off:N, N 1 to 255 (0: every module)"},
        {"module-off:256", false, false, Verdict::Malformed,
         "module-off: expected a module address 0 to 255 after ':'"},
        {"module-off:0", false, false, Verdict::Refused,
         "module-off:0 switches every rectifier module off: add --all-modules to confirm"},
        {"4195002000", false, false, Verdict::Refused,
         "module-off:0 switches every rectifier module off: add --all-modules to confirm"},
        {"419500200000", false, true, Verdict::Accepted, "419500200000"},
        {"float-voltage=53.1", true, false, Verdict::Accepted,
         R"({"signal_id": "4196A3201001", "SetValue": 53.1})"},
        {"temperature-compensation=-2", true, false, Verdict::Accepted,
         R"({"signal_id": "4196A3301001", "SetValue": -2})"},
        {"float-voltage=70", true, false, Verdict::Refused,
         "float-voltage 70 V is outside 42 to 58 V: add --force to send it"},
        {R"({"signal_id": "4196A3101001", "SetValue": "61"})", true, false, Verdict::Refused,
         "equalise-voltage 61 V is outside 42 to 60 V: add --force to send it"},
        {"float-voltage=70", true, true, Verdict::Accepted,
         R"({"signal_id": "4196A3201001", "SetValue": 70})"},
        {"float-voltage=0x20", true, false, Verdict::Malformed,
         "float-voltage: expected a decimal number after '='"},
        {R"({"signal_id": "4196A3201001", "SetValue": 53.5, "Value": 1})", true, false,
         Verdict::Malformed,
         R"(unknown key "Value"; expected {"signal_id": "ID", "SetValue": NUMBER})"},
        {R"({"signal_id": "4196A3201001", "SetValue": 53.5, "SetValue": 70})", true, true,
         Verdict::Malformed,
         R"(a key given twice; expected {"signal_id": "ID", "SetValue": NUMBER})"},
    };
    for (const auto &c : cases) {
        const auto &confirmations = c.confirm ? confirmed : plain;
        const host::CheckedRequest checked = c.set ? host::check_set(c.given, confirmations)
                                                   : host::check_control(c.given, confirmations);
        EXPECT_EQ(checked.verdict, c.verdict) << c.given;
        EXPECT_EQ(c.verdict == Verdict::Accepted ? checked.raw : checked.reason, c.raw_or_reason)
            << c.given;
    }
}

} // namespace
