// The zero-copy views of the look-up schema. `T::Direct<R>` views the table T at `_myOffset` of a
// message read by `_reader` (a FlatBuffersReader of type R); every accessor reads the message
// anew. Strings come as the reader's bytes (valid while the reader lives), string lists as
// FlatBuffersStringVector. The union views hold the view of their case's table.
//
// Two views of one table type are equal when their readers read the same source (isEqual) and
// their offsets are equal; std::hash of a view is its offset.
//
// Threading: the reader's (one thread at a time). Ownership: a view keeps its reader alive.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include "flatbuffers/reader.h"
#include "flatbuffers/vectors.h"
#include "lookup/schema/tables.h"

namespace corvane {

namespace detail {

// The base of every table view, by which the one std::hash below finds them.
struct TableViewTag {};

// What every table view shares: the reader, the offset, creation and equality.
template <class View, FlatBuffersReader R>
class DirectBase : public TableViewTag {
 public:
  std::shared_ptr<R> _reader;
  std::int32_t _myOffset = 0;

  // No view for an absent offset (or no reader).
  static std::optional<View> create(std::shared_ptr<R> reader,
                                    std::optional<std::int32_t> myOffset) {
    if (reader == nullptr || !myOffset) {
      return std::nullopt;
    }
    View view;
    view._reader = std::move(reader);
    view._myOffset = *myOffset;
    return view;
  }

  friend bool operator==(const View& a, const View& b) {
    return a._reader != nullptr && b._reader != nullptr && a._reader->isEqual(*b._reader) &&
           a._myOffset == b._myOffset;
  }

 protected:
  std::optional<ByteView> string(std::int64_t slot) const {
    return _reader->stringBuffer(_reader->offset(_myOffset, slot));
  }
  FlatBuffersStringVector<R> strings(std::int64_t slot) const {
    return FlatBuffersStringVector<R>(_reader, _reader->offset(_myOffset, slot));
  }
};

template <class View>
concept TableView = std::derived_from<View, TableViewTag>;

}  // namespace detail

template <FlatBuffersReader R>
class RequestCmd::Direct : public detail::DirectBase<RequestCmd::Direct<R>, R> {
 public:
  std::optional<ByteView> mac() const { return this->string(0); }
};

template <FlatBuffersReader R>
class ResponseCmd::Direct : public detail::DirectBase<ResponseCmd::Direct<R>, R> {
 public:
  // NONE for an absent or unreadable field; nothing for a byte naming no case.
  std::optional<StatusCode> statusCode() const {
    const auto stored = this->_reader->template get<std::int8_t>(this->_myOffset, 0);
    return stored ? statusCodeFromRawValue(*stored) : std::optional<StatusCode>(StatusCode::NONE);
  }
};

template <FlatBuffersReader R>
class RequestPingData::Direct : public detail::DirectBase<RequestPingData::Direct<R>, R> {
 public:
  // No fields.
};

template <FlatBuffersReader R>
class ResponsePingData::Direct : public detail::DirectBase<ResponsePingData::Direct<R>, R> {
 public:
  // No fields.
};

template <FlatBuffersReader R>
class OnlineRegisterRequestData::Direct
    : public detail::DirectBase<OnlineRegisterRequestData::Direct<R>, R> {
 public:
  std::optional<ByteView> name() const { return this->string(0); }
  std::optional<ByteView> corvaneVersion() const { return this->string(1); }
  FlatBuffersStringVector<R> ipList() const { return this->strings(2); }
};

template <FlatBuffersReader R>
class OnlineRegisterResponseData::Direct
    : public detail::DirectBase<OnlineRegisterResponseData::Direct<R>, R> {
 public:
  std::optional<ByteView> pin() const { return this->string(0); }
};

template <FlatBuffersReader R>
class QueryServerRequestData::Direct
    : public detail::DirectBase<QueryServerRequestData::Direct<R>, R> {
 public:
  std::optional<ByteView> pin() const { return this->string(0); }
};

template <FlatBuffersReader R>
class QueryServerResponseData::Direct
    : public detail::DirectBase<QueryServerResponseData::Direct<R>, R> {
 public:
  FlatBuffersStringVector<R> ipList() const { return this->strings(0); }
  std::optional<ByteView> name() const { return this->string(1); }
  std::optional<ByteView> corvaneVersion() const { return this->string(2); }
};

template <FlatBuffersReader R>
class CmdType::Direct {
 public:
  using Value = std::variant<typename RequestCmd::template Direct<R>,
                             typename ResponseCmd::template Direct<R>>;

  explicit Direct(Value value) : value_(std::move(value)) {}

  // The view of the union stored with its tag in `tagSlot` and its reference in the next slot;
  // nothing for tag 0, an unknown tag or an absent reference.
  static std::optional<Direct> read(const std::shared_ptr<R>& reader, std::int32_t table,
                                    std::int64_t tagSlot) {
    const auto tag = reader->get(table, tagSlot, std::uint8_t{0});
    const auto reference = reader->offset(table, tagSlot + 1);
    switch (tag) {
      case 1:
        return wrap<0>(RequestCmd::template Direct<R>::create(reader, reference));
      case 2:
        return wrap<1>(ResponseCmd::template Direct<R>::create(reader, reference));
      default:
        return std::nullopt;
    }
  }

  std::uint8_t tag() const { return static_cast<std::uint8_t>(value_.index() + 1); }
  const Value& value() const { return value_; }

 private:
  template <std::size_t I, class V>
  static std::optional<Direct> wrap(std::optional<V> view) {
    if (!view) {
      return std::nullopt;
    }
    return Direct(Value(std::in_place_index<I>, std::move(*view)));
  }

  Value value_;
};

template <FlatBuffersReader R>
class CommandData::Direct {
 public:
  using Value = std::variant<typename RequestPingData::template Direct<R>,
                             typename ResponsePingData::template Direct<R>,
                             typename OnlineRegisterRequestData::template Direct<R>,
                             typename OnlineRegisterResponseData::template Direct<R>,
                             typename QueryServerRequestData::template Direct<R>,
                             typename QueryServerResponseData::template Direct<R>>;

  explicit Direct(Value value) : value_(std::move(value)) {}

  // As CmdType::Direct::read, for tags 1 to 6.
  static std::optional<Direct> read(const std::shared_ptr<R>& reader, std::int32_t table,
                                    std::int64_t tagSlot) {
    const auto tag = reader->get(table, tagSlot, std::uint8_t{0});
    const auto reference = reader->offset(table, tagSlot + 1);
    switch (tag) {
      case 1:
        return wrap<0>(RequestPingData::template Direct<R>::create(reader, reference));
      case 2:
        return wrap<1>(ResponsePingData::template Direct<R>::create(reader, reference));
      case 3:
        return wrap<2>(OnlineRegisterRequestData::template Direct<R>::create(reader, reference));
      case 4:
        return wrap<3>(OnlineRegisterResponseData::template Direct<R>::create(reader, reference));
      case 5:
        return wrap<4>(QueryServerRequestData::template Direct<R>::create(reader, reference));
      case 6:
        return wrap<5>(QueryServerResponseData::template Direct<R>::create(reader, reference));
      default:
        return std::nullopt;
    }
  }

  std::uint8_t tag() const { return static_cast<std::uint8_t>(value_.index() + 1); }
  const Value& value() const { return value_; }

 private:
  template <std::size_t I, class V>
  static std::optional<Direct> wrap(std::optional<V> view) {
    if (!view) {
      return std::nullopt;
    }
    return Direct(Value(std::in_place_index<I>, std::move(*view)));
  }

  Value value_;
};

template <FlatBuffersReader R>
class CastCommand::Direct : public detail::DirectBase<CastCommand::Direct<R>, R> {
 public:
  std::optional<typename CmdType::template Direct<R>> cmd() const {
    return CmdType::template Direct<R>::read(this->_reader, this->_myOffset, 0);
  }
  std::optional<typename CommandData::template Direct<R>> data() const {
    return CommandData::template Direct<R>::read(this->_reader, this->_myOffset, 2);
  }
};

}  // namespace corvane

// One hash for every table view: its offset.
template <class View>
requires corvane::detail::TableView<View>
struct std::hash<View> {
  std::size_t operator()(const View& view) const noexcept {
    return static_cast<std::size_t>(view._myOffset);
  }
};
