// The page a technician opens on site: one self-contained document (markup, style, script and
// an SVG plot drawn by the script), so that it works where there is no internet. It only reads
// the host's /api/ documents; nothing on it controls anything.
#pragma once

namespace host {

extern const char *const kLivePage;
constexpr const char *kLivePageType = "text/html; charset=utf-8";

} // namespace host
