#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "flatbuffers/builder.h"
#include "flatbuffers/memory_reader.h"
#include "flatbuffers/reader_cache.h"
#include "lookup/schema/object_decoders.h"
#include "lookup/schema/object_writers.h"
#include "lookup/schema/tables.h"

namespace corvane {

std::shared_ptr<CastCommand> CastCommand::from(std::span<const std::uint8_t> data) {
  auto reader = FlatBuffersMemoryReader::create(data, false, FlatBuffersReaderCache::create());
  const std::optional<std::int32_t> root = reader->rootObjectOffset();
  if (!root) {
    return nullptr;
  }
  // No more decoded text than the message has bytes: an honest message holds each of its strings
  // at least once, while a string reached from many places would multiply.
  detail::DecodeBudget budget(data.size());
  auto command = detail::decodeCastCommand(reader, root, budget);
  return budget.spent() ? nullptr : command;
}

std::vector<std::uint8_t> CastCommand::makeData(const FlatBuffersBuilderOptions& options) const {
  FlatBuffersBuilder builder(options);
  const std::int32_t root = detail::writeObject(builder, *this);
  builder.finish(root, std::nullopt);
  return builder.makeData();
}

}  // namespace corvane
