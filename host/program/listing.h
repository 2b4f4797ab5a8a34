// "mpx23-host list": every name the host takes — the values --get reads, the parameters --set
// changes, the remote controls --control sends — and the alarms the driver reports, as a table
// to read or one JSON document for scripts.
#pragma once

#include <json/value.h>

#include <string>

namespace host {

std::string listing_json();
std::string listing_table();

} // namespace host
