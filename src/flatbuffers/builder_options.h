// How a FlatBuffersBuilder writes one message. Plain value; usable from any thread.
#pragma once

#include <cstdint>

namespace corvane {

class FlatBuffersBuilderOptions {
 public:
  // initialCapacity: bytes allocated up front (values below 1 are taken as 1).
  // uniqueStrings: equal strings are written once.
  // uniqueTables: the schema's object writers write a shared object once (through the builder's
  //   cache).
  // uniqueVTables: tables with byte-identical vtables share one vtable.
  // forceDefaults: scalar fields equal to their default are written anyway.
  // nullTerminatedUTF8: a 0 byte is stored after the bytes of every string.
  FlatBuffersBuilderOptions(std::int64_t initialCapacity, bool uniqueStrings, bool uniqueTables,
                            bool uniqueVTables, bool forceDefaults, bool nullTerminatedUTF8)
      : initialCapacity_(initialCapacity),
        uniqueStrings_(uniqueStrings),
        uniqueTables_(uniqueTables),
        uniqueVTables_(uniqueVTables),
        forceDefaults_(forceDefaults),
        nullTerminatedUTF8_(nullTerminatedUTF8) {}

  std::int64_t initialCapacity() const { return initialCapacity_; }
  bool uniqueStrings() const { return uniqueStrings_; }
  bool uniqueTables() const { return uniqueTables_; }
  bool uniqueVTables() const { return uniqueVTables_; }
  bool forceDefaults() const { return forceDefaults_; }
  bool nullTerminatedUTF8() const { return nullTerminatedUTF8_; }

 private:
  std::int64_t initialCapacity_;
  bool uniqueStrings_;
  bool uniqueTables_;
  bool uniqueVTables_;
  bool forceDefaults_;
  bool nullTerminatedUTF8_;
};

}  // namespace corvane
