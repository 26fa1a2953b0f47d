// Drives TIdBuffer with operations decoded from the input and checks every
// answer against a plain string that models the queue.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "http/transport/IdBuffer.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  TIdStackUser stack;
  int64_t consumed = 0;
  TIdBuffer buffer([&](TIdBuffer&, int32_t n) { consumed += n; });
  buffer.GrowthSlack = in.ConsumeIntegralInRange<int32_t>(0, 4096);
  std::string model;
  int64_t modelConsumed = 0;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 8)) {
      case 0: {
        std::string bytes = in.ConsumeRandomLengthString(512);
        buffer.AppendBytes(ToBytes(bytes));
        model += bytes;
        break;
      }
      case 1: {
        std::string bytes = in.ConsumeRandomLengthString(64);
        buffer.AppendText(bytes);
        model += bytes;
        break;
      }
      case 2: {
        int32_t n = in.ConsumeIntegralInRange<int32_t>(-2, 600);
        try {
          std::string got = buffer.ExtractText(n);
          int32_t take = n == -1 ? static_cast<int32_t>(model.size()) : n;
          if (take <= 0) {
            Check(got.empty());
          } else {
            Check(got == model.substr(0, static_cast<std::size_t>(take)));
            model.erase(0, static_cast<std::size_t>(take));
            modelConsumed += take;
          }
        } catch (const EIdNotEnoughDataInBuffer&) {
          Check(n > static_cast<int32_t>(model.size()));
        }
        break;
      }
      case 3: {
        int32_t n = in.ConsumeIntegralInRange<int32_t>(-1, 600);
        bool append = in.ConsumeBool();
        TIdBytes dest = ToBytes(in.ConsumeRandomLengthString(16));
        std::string before = BytesToString(dest);
        try {
          buffer.ExtractBytes(dest, n, append);
          int32_t take = n == -1 ? static_cast<int32_t>(model.size()) : n;
          if (take > 0) {
            std::string part = model.substr(0, static_cast<std::size_t>(take));
            std::string expect = append ? before + part
                                        : part + (before.size() > part.size() ? before.substr(part.size()) : "");
            Check(BytesToString(dest) == expect);
            model.erase(0, static_cast<std::size_t>(take));
            modelConsumed += take;
          }
        } catch (const EIdNotEnoughDataInBuffer&) {
          Check(n > static_cast<int32_t>(model.size()));
        }
        break;
      }
      case 4: {
        int32_t n = in.ConsumeIntegralInRange<int32_t>(0, 600);
        buffer.Discard(n);
        if (n > 0) {
          model.erase(0, std::min<std::size_t>(static_cast<std::size_t>(n), model.size()));
          modelConsumed += n;
        }
        break;
      }
      case 5: buffer.Compact(in.ConsumeBool()); break;
      case 6: {
        std::string pattern = in.ConsumeRandomLengthString(4);
        int32_t start = in.ConsumeIntegralInRange<int32_t>(-1, 600);
        try {
          int32_t found = buffer.FindText(pattern, start);
          if (model.empty()) {
            Check(found == -1);
          } else {
            std::size_t expect = model.find(pattern, static_cast<std::size_t>(start));
            Check(found == (expect == std::string::npos ? -1 : static_cast<int32_t>(expect)));
          }
        } catch (const EIdException&) {
          Check(!model.empty() && (pattern.empty() || start < 0 || start >= static_cast<int32_t>(model.size())));
        }
        break;
      }
      case 7: {
        TStringStream stream;
        int32_t n = in.ConsumeIntegralInRange<int32_t>(-1, 600);
        try {
          buffer.MoveToStream(stream, n);
          int32_t take = n == -1 ? static_cast<int32_t>(model.size()) : n;
          if (take > 0) {
            Check(stream.DataString() == model.substr(0, static_cast<std::size_t>(take)));
            model.erase(0, static_cast<std::size_t>(take));
            modelConsumed += take;
          }
        } catch (const EIdNotEnoughDataInBuffer&) {
          Check(n > static_cast<int32_t>(model.size()));
        }
        break;
      }
      case 8: buffer.EmptyBuffer(); model.clear(); break;
    }
    Check(buffer.Size() == static_cast<int32_t>(model.size()));
    Check(model.empty() || std::string(reinterpret_cast<const char*>(buffer.Data()), model.size()) == model);
    Check(buffer.Capacity() >= buffer.HeadOffset() + buffer.Size());
  }
  Check(consumed == modelConsumed);
  return 0;
}
