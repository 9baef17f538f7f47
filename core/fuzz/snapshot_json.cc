// "snapshot.json": SnapshotMeta::from_json, then the text round trip.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "collection/snapshot.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return sorvel::fuzz::run_input([&] {
    using sorvel::SnapshotMeta;
    sorvel::Result<SnapshotMeta> meta =
        SnapshotMeta::from_json({reinterpret_cast<const char*>(data), size});
    if (!meta) {
      sorvel::fuzz::expect_refusal(meta.error());
      return;
    }
    const std::string written = meta->to_json();
    sorvel::Result<SnapshotMeta> again = SnapshotMeta::from_json(written);
    FUZZ_EXPECT(again.has_value());
    FUZZ_EXPECT(*again == *meta);
    FUZZ_EXPECT(again->to_json() == written);
  });
}
