// FlatBuffersReaderCache: the pool of decoded objects of one message, keyed by table offset, so
// that a table reached twice decodes to one object. The schema's decoders look an offset up
// before building an object and store each new object under its offset; they check the object's
// type with std::any_cast and replace an entry of another type.
//
// Threading: used by one thread at a time (the decoding caller's).
// Ownership: shared by the reader and the decoders; entries hold strong references.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <unordered_map>

namespace corvane {

class FlatBuffersReaderCache {
 public:
  using ObjectPool = std::unordered_map<std::int32_t, std::any>;

  static std::shared_ptr<FlatBuffersReaderCache> create() {
    return std::make_shared<FlatBuffersReaderCache>();
  }

  ObjectPool& objectPool() { return objectPool_; }
  const ObjectPool& objectPool() const { return objectPool_; }

 private:
  ObjectPool objectPool_;
};

}  // namespace corvane
