#include "crash/settings/CDPropertyTable.h"

#include "runtime/SysUtils.h"

namespace {

// A cursor over the stream that refuses every read the data cannot satisfy.
class TStreamCursor {
 public:
  explicit TStreamCursor(std::span<const uint8_t> data) : data_(data) {}

  std::size_t Left() const { return data_.size() - pos_; }
  bool AtEnd() const { return pos_ >= data_.size(); }

  bool Byte(uint8_t& b) {
    if (Left() < 1) return false;
    b = data_[pos_++];
    return true;
  }
  bool Bytes(std::size_t n, std::span<const uint8_t>& out) {
    if (Left() < n) return false;
    out = data_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  bool Int(std::size_t width, int32_t& value) {
    std::span<const uint8_t> b;
    if (!Bytes(width, b)) return false;
    uint32_t u = 0;
    for (std::size_t i = 0; i < width; ++i) u |= static_cast<uint32_t>(b[i]) << (8 * i);
    if (width == 1)
      value = static_cast<int8_t>(u);
    else if (width == 2)
      value = static_cast<int16_t>(u);
    else
      value = static_cast<int32_t>(u);
    return true;
  }
  bool Length32(uint32_t& n) {
    int32_t v = 0;
    if (!Int(4, v)) return false;
    n = static_cast<uint32_t>(v);
    return true;
  }
  bool ShortString(std::string& s) {
    uint8_t len = 0;
    std::span<const uint8_t> b;
    if (!Byte(len) || !Bytes(len, b)) return false;
    s.assign(b.begin(), b.end());
    return true;
  }

 private:
  std::span<const uint8_t> data_;
  std::size_t pos_ = 0;
};

bool HeaderMatches(TStreamCursor& cursor) {
  std::span<const uint8_t> sig;
  if (!cursor.Bytes(CDStreamSignature.size(), sig)) return false;
  if (std::string_view(reinterpret_cast<const char*>(sig.data()), sig.size()) != CDStreamSignature) return false;
  std::string className, objectName;
  return cursor.ShortString(className) && className == CDStreamClassName && cursor.ShortString(objectName) &&
         objectName == CDStreamObjectName;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::string WideToText(std::span<const uint8_t> utf16le) {
  std::string out;
  const std::size_t units = utf16le.size() / 2;
  out.reserve(units);
  auto unit = [&](std::size_t i) { return static_cast<uint32_t>(utf16le[2 * i] | (utf16le[2 * i + 1] << 8)); };
  for (std::size_t i = 0; i < units; ++i) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out += '?';
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

std::string InvalidSettingsResourceText(const TCDStreamResult& result) {
  switch (result.Status) {
    case TCDStreamStatus::UnknownKind:
      return "Internal error: Invalid settings resource ($" + LowerCase(IntToHex(result.Kind, 1)) + ").";
    case TCDStreamStatus::Truncated:
      return "Internal error: Invalid settings resource (truncated).";
    default:
      return std::string();
  }
}

void TCDPropertyTable::Clear() {
  for (int i = 0; i < count_; ++i) entries_[static_cast<std::size_t>(i)] = TCDProperty();
  count_ = 0;
}

const TCDProperty* TCDPropertyTable::Find(std::string_view name) const {
  for (int i = 0; i < count_; ++i)
    if (SameText(entries_[static_cast<std::size_t>(i)].Name, name)) return &entries_[static_cast<std::size_t>(i)];
  return nullptr;
}

TCDProperty* TCDPropertyTable::Find(std::string_view name) {
  return const_cast<TCDProperty*>(static_cast<const TCDPropertyTable*>(this)->Find(name));
}

bool TCDPropertyTable::Put(std::string_view name, const TCDProperty& value) {
  TCDProperty* entry = Find(name);
  if (!entry) {
    if (count_ >= CDMaxProperties) return false;
    entry = &entries_[static_cast<std::size_t>(count_++)];
  }
  std::string keptName = entry->Name.empty() ? std::string(name) : entry->Name;
  *entry = value;
  entry->Name = std::move(keptName);
  return true;
}

TCDStreamResult TCDPropertyTable::LoadFromStream(std::span<const uint8_t> data) {
  Clear();
  TStreamCursor cursor(data);
  if (!HeaderMatches(cursor)) return {TCDStreamStatus::NoHeader, 0};

  while (true) {
    uint8_t nameLength = 0;
    if (!cursor.Byte(nameLength)) return {TCDStreamStatus::Truncated, 0};
    if (nameLength == 0) return {TCDStreamStatus::Complete, 0};
    if (count_ >= CDMaxProperties) return {TCDStreamStatus::TableFull, 0};

    std::span<const uint8_t> nameBytes;
    uint8_t kind = 0;
    if (!cursor.Bytes(nameLength, nameBytes) || !cursor.Byte(kind)) return {TCDStreamStatus::Truncated, 0};

    TCDProperty p;
    p.Name.assign(nameBytes.begin(), nameBytes.end());
    bool ok = true;
    switch (kind) {
      case vaInt8:
      case vaInt16:
      case vaInt32:
        p.Kind = TCDPropKind::Integer;
        ok = cursor.Int(kind == vaInt8 ? 1 : kind == vaInt16 ? 2 : 4, p.IntValue);
        break;
      case vaFalse:
      case vaTrue:
        p.Kind = TCDPropKind::Boolean;
        p.BoolValue = kind == vaTrue;
        break;
      case vaString:
        p.Kind = TCDPropKind::Text;
        ok = cursor.ShortString(p.TextValue);
        break;
      case vaLString: {
        p.Kind = TCDPropKind::Text;
        uint32_t length = 0;
        std::span<const uint8_t> b;
        ok = cursor.Length32(length) && cursor.Bytes(length, b);
        if (ok) p.TextValue.assign(b.begin(), b.end());
        break;
      }
      case vaWString: {
        p.Kind = TCDPropKind::Text;
        uint32_t chars = 0;
        std::span<const uint8_t> b;
        // Counted in 64 bits: twice a hostile count must not wrap round.
        ok = cursor.Length32(chars) && cursor.Bytes(static_cast<std::size_t>(uint64_t{chars} * 2), b);
        if (ok) p.TextValue = WideToText(b);
        break;
      }
      default:
        return {TCDStreamStatus::UnknownKind, kind};
    }
    if (!ok) return {TCDStreamStatus::Truncated, kind};
    entries_[static_cast<std::size_t>(count_++)] = std::move(p);
  }
}
