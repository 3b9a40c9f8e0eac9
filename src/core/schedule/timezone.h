// Time-zone lookup by IANA name.
//
// Lookup is exact: the name must be a zone or a link of the installed IANA
// database, with its letter case ("Europe/Berlin", "UTC", "US/Eastern").
// The database's names are read once from "tzdata.zi" in the zoneinfo
// directory ($TZDIR, else /usr/share/zoneinfo). Without that file a name
// must be a relative path of letters, digits and "/_+-" naming a TZif file
// there. Never accepted: "localtime", fixed offsets, absolute paths, names
// with "." components, the "posix/" and "right/" copies.
//
// Loaded zones are cached for the life of the process; lookups are safe
// from any thread.
#pragma once

#include <string>

#include <cctz/time_zone.h>

#include "core/result.h"

namespace quor {

// The zone named `name`, or InvalidTimezone showing `name` unchanged.
Result<cctz::time_zone> find_time_zone(const std::string& name);

}  // namespace quor
