#include "core/run_id.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/instant.h"
#include "core/model.h"

namespace quor {

namespace {

// Crockford base 32, lower case: no i, l, o or u.
constexpr char kAlphabet[] = "0123456789abcdefghjkmnpqrstvwxyz";

bool read_urandom(uint8_t* buf, size_t n) {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::read(fd, buf + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  ::close(fd);
  return done == n;
}

// Last resort when the kernel gives no entropy: a SplitMix64 stream seeded
// from the clock and a process-wide counter. Ids stay distinct within the
// process even though they are no longer unpredictable.
void fallback_random(uint8_t* buf, size_t n) {
  static std::atomic<uint64_t> counter{0};
  uint64_t x = static_cast<uint64_t>(Instant::now().unix_seconds()) * 1'000'000'007ULL ^
               Instant::now().nanos() ^ (counter.fetch_add(1) << 32);
  for (size_t i = 0; i < n; ++i) {
    x += 0x9E3779B97F4A7C15ULL;
    uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    buf[i] = static_cast<uint8_t>(z ^ (z >> 31));
  }
}

void fill_random(uint8_t* buf, size_t n) {
  if (::getentropy(buf, n) == 0) return;
  if (read_urandom(buf, n)) return;
  fallback_random(buf, n);
}

}  // namespace

std::string encode_ulid(uint64_t unix_millis, const uint8_t random[10]) {
  // 128 bits, big-endian: 48 bits of time, then 80 random bits.
  uint8_t bytes[16];
  for (int i = 0; i < 6; ++i) bytes[i] = static_cast<uint8_t>(unix_millis >> (8 * (5 - i)));
  std::memcpy(bytes + 6, random, 10);
  // 26 digits of 5 bits cover 130 bits; the two leading bits are zero.
  std::string out(26, '0');
  unsigned __int128 v = 0;
  for (uint8_t b : bytes) v = (v << 8) | b;
  for (int i = 25; i >= 0; --i) {
    out[i] = kAlphabet[static_cast<unsigned>(v & 31)];
    v >>= 5;
  }
  return out;
}

std::string new_run_id() {
  uint8_t random[10];
  fill_random(random, sizeof random);
  const Instant now = Instant::now();
  int64_t ms = now.unix_seconds() * 1000 + now.nanos() / 1'000'000;
  if (ms < 0) ms = 0;
  const uint64_t millis = static_cast<uint64_t>(ms) & ((uint64_t{1} << 48) - 1);
  return "run_" + encode_ulid(millis, random);
}

}  // namespace quor
