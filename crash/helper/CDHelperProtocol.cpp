#include "crash/helper/CDHelperProtocol.h"

#include <cstring>

// ---- encoding ----

void TCDWireWriter::Put(const void* bytes, std::size_t n) {
  // An empty text may come without any storage at all.
  if (overflow_ || n == 0) return;
  if (data_ != nullptr) {
    if (n > capacity_ - size_) {
      overflow_ = true;
      return;
    }
    std::memcpy(data_ + size_, bytes, n);
  }
  size_ += n;
}

void TCDWireWriter::U8(uint8_t v) { Put(&v, 1); }

void TCDWireWriter::U32(uint32_t v) {
  const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 24)};
  Put(b, 4);
}

void TCDWireWriter::U64(uint64_t v) {
  U32(static_cast<uint32_t>(v));
  U32(static_cast<uint32_t>(v >> 32));
}

void TCDWireWriter::Text(std::string_view text) {
  U32(static_cast<uint32_t>(text.size()));
  Put(text.data(), text.size());
}

std::size_t TCDWireWriter::BeginFrame(TCDHelperFrame kind) {
  const std::size_t start = size_;
  U32(static_cast<uint32_t>(kind));
  U32(0);
  return start;
}

void TCDWireWriter::EndFrame(std::size_t start) {
  if (overflow_ || data_ == nullptr) return;
  const uint32_t length = static_cast<uint32_t>(size_ - start - CDHelperFrameHeader);
  for (int i = 0; i < 4; ++i) data_[start + 4 + i] = static_cast<uint8_t>(length >> (8 * i));
}

void EncodeHello(TCDWireWriter& w, const TCDHelperHello& hello) {
  const std::size_t f = w.BeginFrame(TCDHelperFrame::Hello);
  w.U32(hello.Version);
  w.U32(hello.ProcessId);
  w.EndFrame(f);
}

void EncodeException(TCDWireWriter& w, int32_t type, int32_t source, bool canContinue, int32_t showMode,
                     bool finishHere, bool createScreenShot, uint64_t exceptionNumber, std::string_view className,
                     std::string_view message, std::string_view assistant, std::span<const TCDProperty> settings) {
  const std::size_t f = w.BeginFrame(TCDHelperFrame::Exception);
  w.U32(static_cast<uint32_t>(type));
  w.U32(static_cast<uint32_t>(source));
  w.U8(canContinue);
  w.U32(static_cast<uint32_t>(showMode));
  w.U8(finishHere);
  w.U8(createScreenShot);
  w.U64(exceptionNumber);
  w.Text(className);
  w.Text(message);
  w.Text(assistant);
  w.U32(static_cast<uint32_t>(settings.size()));
  for (const TCDProperty& p : settings) {
    w.Text(p.Name);
    w.U8(static_cast<uint8_t>(p.Kind));
    w.U8(p.BoolValue);
    w.U32(static_cast<uint32_t>(p.IntValue));
    w.Text(p.TextValue);
  }
  w.EndFrame(f);
}

void EncodeReport(TCDWireWriter& w, std::span<const TCDFieldView> header, std::span<const TCDFieldView> sections,
                  bool complete) {
  const std::size_t f = w.BeginFrame(TCDHelperFrame::Report);
  for (auto list : {header, sections}) {
    w.U32(static_cast<uint32_t>(list.size()));
    for (const TCDFieldView& field : list) {
      w.Text(field.Name);
      w.Text(field.Content);
    }
  }
  w.U8(complete);
  w.EndFrame(f);
}

void EncodeAction(TCDWireWriter& w, int32_t action) {
  const std::size_t f = w.BeginFrame(TCDHelperFrame::Action);
  w.U32(static_cast<uint32_t>(action));
  w.EndFrame(f);
}

void EncodeActionResult(TCDWireWriter& w, bool handled) {
  const std::size_t f = w.BeginFrame(TCDHelperFrame::ActionResult);
  w.U8(handled);
  w.EndFrame(f);
}

void EncodeAnswer(TCDWireWriter& w, const TCDHelperAnswer& a) {
  const std::size_t f = w.BeginFrame(TCDHelperFrame::Answer);
  w.U32(static_cast<uint32_t>(a.Ending));
  w.U8(a.Sent);
  w.U8(a.Saved);
  w.EndFrame(f);
}

namespace {
// Counts first, then writes into a string of exactly that size.
template <typename F>
std::string EncodeToString(F&& encode) {
  TCDWireWriter counter(nullptr, 0);
  encode(counter);
  std::string out(counter.Size(), '\0');
  TCDWireWriter writer(reinterpret_cast<uint8_t*>(out.data()), out.size());
  encode(writer);
  return out;
}

std::vector<TCDFieldView> Views(const std::vector<TCDField>& fields) {
  std::vector<TCDFieldView> views;
  views.reserve(fields.size());
  for (const TCDField& f : fields) views.push_back({f.Name, f.Content});
  return views;
}
}  // namespace

std::string EncodeExceptionFrame(const TCDHelperException& e) {
  return EncodeToString([&](TCDWireWriter& w) {
    EncodeException(w, e.Type, e.Source, e.CanContinue, e.ShowMode, e.FinishHere, e.CreateScreenShot,
                    e.ExceptionNumber, e.ClassName, e.Message, e.Assistant, e.Settings);
  });
}

std::string EncodeReportFrame(const std::vector<TCDField>& header, const std::vector<TCDField>& sections,
                              bool complete) {
  const std::vector<TCDFieldView> h = Views(header), s = Views(sections);
  return EncodeToString([&](TCDWireWriter& w) { EncodeReport(w, h, s, complete); });
}

// ---- decoding ----

void TCDFrameReader::Append(const void* bytes, std::size_t n) {
  // Drop what was consumed before growing, so the buffer holds at most one
  // frame and a piece.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 64 * 1024) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(static_cast<const char*>(bytes), n);
}

bool TCDFrameReader::Next(TCDRawFrame& frame) {
  if (!error_.empty()) return false;
  if (buffer_.size() - start_ < CDHelperFrameHeader) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(buffer_.data() + start_);
  uint32_t kind = 0, length = 0;
  for (int i = 0; i < 4; ++i) {
    kind |= static_cast<uint32_t>(p[i]) << (8 * i);
    length |= static_cast<uint32_t>(p[4 + i]) << (8 * i);
  }
  if (length > CDMaxHelperFrame) {
    error_ = "frame of " + std::to_string(length) + " bytes exceeds the limit";
    return false;
  }
  if (buffer_.size() - start_ - CDHelperFrameHeader < length) return false;
  frame.Kind = kind;
  frame.Payload.assign(buffer_, start_ + CDHelperFrameHeader, length);
  start_ += CDHelperFrameHeader + length;
  return true;
}

namespace {
class TCursor {
 public:
  explicit TCursor(std::string_view data) : data_(data) {}
  bool U8(uint8_t& v) {
    if (data_.size() - pos_ < 1) return false;
    v = static_cast<uint8_t>(data_[pos_++]);
    return true;
  }
  bool Bool(bool& v) {
    uint8_t b = 0;
    if (!U8(b) || b > 1) return false;
    v = b != 0;
    return true;
  }
  bool U32(uint32_t& v) {
    if (data_.size() - pos_ < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(data_[pos_ + i])) << (8 * i);
    pos_ += 4;
    return true;
  }
  bool I32(int32_t& v) {
    uint32_t u = 0;
    if (!U32(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  bool U64(uint64_t& v) {
    uint32_t lo = 0, hi = 0;
    if (!U32(lo) || !U32(hi)) return false;
    v = (static_cast<uint64_t>(hi) << 32) | lo;
    return true;
  }
  bool Text(std::string& s) {
    uint32_t n = 0;
    if (!U32(n) || data_.size() - pos_ < n) return false;
    s.assign(data_.substr(pos_, n));
    pos_ += n;
    return true;
  }
  // A count of entries that each take at least minBytes: never more than
  // the bytes left could hold.
  bool Count(uint32_t& n, std::size_t minBytes) { return U32(n) && n <= (data_.size() - pos_) / minBytes; }
  bool AtEnd() const { return pos_ == data_.size(); }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

bool InRange(int32_t v, int32_t low, int32_t high) { return v >= low && v <= high; }
}  // namespace

std::optional<TCDHelperHello> DecodeHello(std::string_view payload) {
  TCursor c(payload);
  TCDHelperHello h;
  if (!c.U32(h.Version) || !c.U32(h.ProcessId) || !c.AtEnd()) return std::nullopt;
  if (h.Version != CDHelperProtocolVersion) return std::nullopt;
  return h;
}

std::optional<TCDHelperException> DecodeException(std::string_view payload) {
  TCursor c(payload);
  TCDHelperException e;
  uint32_t count = 0;
  if (!c.I32(e.Type) || !c.I32(e.Source) || !c.Bool(e.CanContinue) || !c.I32(e.ShowMode) || !c.Bool(e.FinishHere) ||
      !c.Bool(e.CreateScreenShot) || !c.U64(e.ExceptionNumber) || !c.Text(e.ClassName) || !c.Text(e.Message) ||
      !c.Text(e.Assistant) || !c.Count(count, 14))
    return std::nullopt;
  if (!InRange(e.Type, 0, 2) || !InRange(e.Source, 1, 15) || !InRange(e.ShowMode, 0, 3)) return std::nullopt;
  for (uint32_t i = 0; i < count; ++i) {
    TCDProperty p;
    uint8_t kind = 0;
    if (!c.Text(p.Name) || !c.U8(kind) || !c.Bool(p.BoolValue) || !c.I32(p.IntValue) || !c.Text(p.TextValue))
      return std::nullopt;
    if (kind < static_cast<uint8_t>(TCDPropKind::Boolean) || kind > static_cast<uint8_t>(TCDPropKind::Text) ||
        p.Name.empty())
      return std::nullopt;
    p.Kind = static_cast<TCDPropKind>(kind);
    e.Settings.push_back(std::move(p));
  }
  if (!c.AtEnd()) return std::nullopt;
  return e;
}

std::optional<TCDHelperReport> DecodeReport(std::string_view payload) {
  TCursor c(payload);
  TCDHelperReport r;
  for (std::vector<TCDField>* list : {&r.Header, &r.Sections}) {
    uint32_t count = 0;
    if (!c.Count(count, 8)) return std::nullopt;
    for (uint32_t i = 0; i < count; ++i) {
      TCDField f;
      if (!c.Text(f.Name) || !c.Text(f.Content)) return std::nullopt;
      list->push_back(std::move(f));
    }
  }
  if (!c.Bool(r.Complete) || !c.AtEnd()) return std::nullopt;
  return r;
}

std::optional<int32_t> DecodeAction(std::string_view payload) {
  TCursor c(payload);
  int32_t action = 0;
  if (!c.I32(action) || !c.AtEnd() || !InRange(action, 0, 6)) return std::nullopt;
  return action;
}

std::optional<bool> DecodeActionResult(std::string_view payload) {
  TCursor c(payload);
  bool handled = false;
  if (!c.Bool(handled) || !c.AtEnd()) return std::nullopt;
  return handled;
}

std::optional<TCDHelperAnswer> DecodeAnswer(std::string_view payload) {
  TCursor c(payload);
  TCDHelperAnswer a;
  if (!c.I32(a.Ending) || !c.Bool(a.Sent) || !c.Bool(a.Saved) || !c.AtEnd() || !InRange(a.Ending, 4, 6))
    return std::nullopt;
  return a;
}
