// What the HTTP routes answer, without a server: numbers that are not plain whole numbers, and
// names that are not text.
#include "host/common/plain_text.h"
#include "host/http/http_routes.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

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

} // namespace
