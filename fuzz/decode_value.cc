// Any input decodes to a value or an error, never a crash. Whatever decodes
// re-encodes to canonical bytes: no longer than what was read (a later
// duplicate map key drops an entry, a true Bool becomes 0x01), and those
// bytes decode whole and encode to themselves again. The walks every stored
// value meets (copy, debug text, link extraction, size check) run on it too.
// Bytes said to decode without a link must decode, and hold none. The links
// found in the bytes are those of the decoded value, and the length walk
// gives the decoder's verdict and length.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/encoded_length.h"
#include "db/link_path.h"
#include "fuzz_check.h"

using namespace zez;
using zez::fuzz::check;
using zez::fuzz::encoded;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t cursor = 0;
  auto decoded = decode_value(data, size, &cursor);
  if (decodes_without_link(data, size)) {
    check(decoded.ok() && extract_links(decoded.value()).empty() && !may_hold_link(data, size),
          "said to decode without a link, but it does not");
  }
  check(extract_encoded_links(data, size) ==
            (decoded.ok() ? extract_links(decoded.value()) : std::vector<OutgoingLink>()),
        "the links found in the bytes are not those of the decoded value");
  // The length walk the damage classification uses agrees with the decoder.
  const auto length = encoded_length(data, size);
  check(length.has_value() == decoded.ok() && (!length || *length == cursor),
        "the length walk disagrees with the decoder");
  if (!decoded.ok()) {
    check(cursor == 0, "a failed decode moved the cursor");
    check(!decoded.error().display().empty(), "an error without text");
    return 0;
  }
  check(cursor > 0 && cursor <= size, "cursor outside the input");
  const Value& v = decoded.value();

  const std::string once = encoded(v);
  check(once.size() <= cursor, "re-encoding is longer than the input");
  size_t again_cursor = 0;
  auto again =
      decode_value(reinterpret_cast<const uint8_t*>(once.data()), once.size(), &again_cursor);
  check(again.ok(), "re-encoded bytes do not decode", again.ok() ? "" : again.error().display());
  check(again_cursor == once.size(), "re-encoded bytes decode short");
  check(encoded(again.value()) == once, "re-encoding is not stable");

  check(encoded(v.copy()) == once, "a copy encodes differently");
  check(!v.debug_text().empty(), "empty debug text");
  check(!find_oversized(v), "a decoded value is oversized");
  for (const OutgoingLink& l : extract_links(v)) {
    check(!l.target_collection.empty(), "a link with an empty target collection");
  }
  return 0;
}
