#include "core/schedule/timezone.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace quor {

namespace {

std::string zoneinfo_dir() {
  const char* dir = std::getenv("TZDIR");
  return dir && *dir ? std::string(dir) : std::string("/usr/share/zoneinfo");
}

// The zone and link names listed in the database's "tzdata.zi": lines
// "Z <name> ..." and "L <target> <name>". False when the file is missing.
bool read_database_names(const std::string& dir, std::unordered_set<std::string>* names) {
  FILE* f = std::fopen((dir + "/tzdata.zi").c_str(), "re");
  if (!f) return false;
  char line[1024];
  while (std::fgets(line, sizeof line, f)) {
    if ((line[0] != 'Z' && line[0] != 'L') || line[1] != ' ') continue;
    std::string_view rest(line + 2);
    auto next_word = [&rest]() {
      size_t b = rest.find_first_not_of(" \t");
      if (b == std::string_view::npos) return std::string_view();
      rest.remove_prefix(b);
      size_t e = rest.find_first_of(" \t\r\n");
      std::string_view word = rest.substr(0, e);
      rest.remove_prefix(word.size());
      return word;
    };
    std::string_view name = next_word();
    if (line[0] == 'L') name = next_word();
    if (!name.empty()) names->emplace(name);
  }
  std::fclose(f);
  return !names->empty();
}

// Without tzdata.zi: a plain relative name of a TZif file in the directory.
bool is_plain_zone_file(const std::string& dir, const std::string& name) {
  if (name.empty() || name == "localtime" || name == "posixrules") return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    std::string_view part = std::string_view(name).substr(
        start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part.front() == '.') return false;
    if (start == 0 && (part == "posix" || part == "right")) return false;
    for (char c : part) {
      bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '_' || c == '+' || c == '-';
      if (!ok) return false;
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::string path = dir + "/" + name;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return false;
  char magic[4] = {};
  bool tzif = std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic, "TZif", 4) == 0;
  std::fclose(f);
  return tzif;
}

struct ZoneCache {
  std::mutex mu;
  bool names_read = false;                                 // guarded by mu
  bool have_names = false;                                 // guarded by mu
  std::unordered_set<std::string> names;                   // guarded by mu
  std::unordered_map<std::string, cctz::time_zone> zones;  // guarded by mu
};

ZoneCache& cache() {
  static ZoneCache* c = new ZoneCache;  // never destroyed: used until exit
  return *c;
}

}  // namespace

Result<cctz::time_zone> find_time_zone(const std::string& name) {
  ZoneCache& c = cache();
  std::lock_guard<std::mutex> lock(c.mu);
  if (auto it = c.zones.find(name); it != c.zones.end()) return it->second;
  std::string dir = zoneinfo_dir();
  if (!c.names_read) {
    c.have_names = read_database_names(dir, &c.names);
    c.names_read = true;
  }
  bool known = c.have_names ? c.names.count(name) > 0 : is_plain_zone_file(dir, name);
  cctz::time_zone tz;
  // Only database names reach cctz, which would also take "localtime",
  // offsets and paths. The cache stays bounded by the database's size.
  if (!known || !cctz::load_time_zone(name, &tz)) return EngineError::invalid_timezone(name);
  c.zones.emplace(name, tz);
  return tz;
}

}  // namespace quor
