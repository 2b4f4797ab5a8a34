// What the HTTP routes answer, without a server: numbers that are not plain whole numbers,
// names that are not text, and what the live page draws from.
#include "host/common/plain_text.h"
#include "host/http/http_routes.h"
#include "host/http/http_server.h"
#include "host/tests/json_reading.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// The live page is given to a hub only at an address others reach, written as a URL takes it.
TEST(HttpRoutes, ThePageIsGivenOnlyWhereOthersReachIt) {
    const std::pair<const char *, const char *> cases[] = {
        {"9100", ""},
        {"127.0.0.1:9100", ""},
        {"0.0.0.0:9100", ""},
        {"[::]:9100", ""},
        {"192.0.2.7:0", ""},
        {"192.0.2.7:9100", "http://192.0.2.7:9100/"},
        {"[2001:db8::7]:80", "http://[2001:db8::7]:80/"},
    };
    for (const auto &[listen, page] : cases)
        EXPECT_EQ(host::reachable_page(host::parse_listen(listen)), page) << listen;
}

TEST(HttpRoutes, NumbersAreWholeAndDevicesExist) {
    host::SiteState site({1});
    const host::HttpSources sources{site, nullptr, {}, 1.0, ""};
    struct Case {
        const char *path;
        std::map<std::string, std::string> query;
        unsigned status;
    };
    const Case cases[] = {
        {"/api/state", {{"device", "1"}}, 404}, // no round yet: no state document
        {"/api/alarms", {{"device", "1"}}, 200},
        {"/api/alarms", {{"device", "4294967297"}}, 404}, // 2^32 + 1 is no device 1
        {"/api/alarms", {{"device", "99999999999999999999999"}}, 404},
        {"/api/plot", {{"device", "-1"}}, 400},
        {"/api/plot", {{"device", "1e0"}}, 400},
        {"/api/state", {{"device", " 1"}}, 400},
        {"/api/alarms", {{"device", ""}}, 400},
    };
    for (const Case &c : cases)
        EXPECT_EQ(host::http_route(sources, c.path, c.query).status, c.status)
            << c.path << " device=" << c.query.begin()->second;
}

TEST(HttpRoutes, MetricsStayUtf8WhateverANameHolds) {
    host::SiteState site({1});
    site.set_name(1, "Site \xff\xfe \xf4 \"a\"\n");
    const std::string text =
        host::http_route(host::HttpSources{site, nullptr, {}, 1.0, ""}, "/metrics", {}).body;
    EXPECT_EQ(host::valid_utf8(text), text);
    EXPECT_NE(text.find("name=\"Site \xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd \\\"a\\\"\\n\""),
              std::string::npos);
}

// The page names each plant as configured and shades the rounds that had an alarm active.
TEST(HttpRoutes, StateNamesDevicesAndPlotFlagsAlarmRounds) {
    host::SiteState site({1, 2});
    site.set_name(1, "rack-a");
    host::DecodedBlock block;
    host::RoundCompleted round;
    round.data_id = 1;
    round.decoded = &block;
    site.round_completed(round);
    site.alarm_changed({0, 1, "", "220600140010", true, "", ""});
    site.round_completed(round);
    site.alarm_changed({0, 1, "", "220600140010", false, "", ""});
    site.round_completed(round);
    const host::HttpSources sources{site, nullptr, {}, 1.0, ""};

    const Json::Value state =
        testing_host::parsed(host::http_route(sources, "/api/state", {}).body);
    EXPECT_EQ(state["devices"][0]["name"], "rack-a");
    EXPECT_TRUE(state["devices"][1]["name"].isNull());
    const Json::Value plot =
        testing_host::parsed(host::http_route(sources, "/api/plot", {{"device", "1"}}).body);
    ASSERT_EQ(plot["points"].size(), 3u);
    for (Json::ArrayIndex i = 0; i < 3; ++i)
        EXPECT_EQ(plot["points"][i][3], i == 1 ? 1 : 0) << "round " << i;
}

} // namespace
