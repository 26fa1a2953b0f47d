#include "crash/report/CDDisassembler.h"

#include <capstone/capstone.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "crash/report/CDReportFormat.h"
#include "crash/sys/CDLibrary.h"
#include "runtime/SysUtils.h"

namespace {

// Without a known function, decoding starts this far before the fault (at
// the first offset that lands on it) and runs this far after it.
constexpr uint64_t kWindowBefore = 64, kWindowAfter = 48;
// A symbol bigger than this is not trusted to be one function.
constexpr uint64_t kMaxFunctionSize = 256 * 1024;
// At most this many instructions are listed on either side of the fault.
constexpr std::size_t kMaxAround = 400;

struct TInsn {
  uint64_t Address = 0;
  std::vector<uint8_t> Bytes;
  std::string Mnemonic, Operands;
  int Line = 0;
};

// Capstone's functions, bound when the first disassembly is made.
#define PINMARK_CAPSTONE_FUNCTIONS(X) X(cs_open) X(cs_close) X(cs_disasm) X(cs_free)

struct TCapstoneApi {
  PINMARK_CAPSTONE_FUNCTIONS(PINMARK_CD_FUNCTION)
};

const TCapstoneApi* CapstoneApi() {
  return CDBindOnce<TCapstoneApi>("libcapstone.so.4", [](void* library, TCapstoneApi& api) {
    bool ok = true;
    PINMARK_CAPSTONE_FUNCTIONS(PINMARK_CD_BIND)
    return ok;
  });
}

class TCapstone {
 public:
  TCapstone() : api_(CapstoneApi()) { ok_ = api_ && api_->cs_open(CS_ARCH_X86, CS_MODE_64, &handle_) == CS_ERR_OK; }
  ~TCapstone() {
    if (ok_) api_->cs_close(&handle_);
  }
  TCapstone(const TCapstone&) = delete;
  TCapstone& operator=(const TCapstone&) = delete;

  std::vector<TInsn> Decode(const std::vector<uint8_t>& code, uint64_t address) const {
    std::vector<TInsn> out;
    if (!ok_ || code.empty()) return out;
    cs_insn* insn = nullptr;
    size_t count = api_->cs_disasm(handle_, code.data(), code.size(), address, 0, &insn);
    out.reserve(count);
    for (size_t i = 0; i < count; ++i)
      out.push_back(TInsn{insn[i].address, std::vector<uint8_t>(insn[i].bytes, insn[i].bytes + insn[i].size),
                          insn[i].mnemonic, insn[i].op_str, 0});
    if (insn) api_->cs_free(insn, count);
    return out;
  }

 private:
  const TCapstoneApi* api_;
  csh handle_ = 0;
  bool ok_ = false;
};

std::vector<uint8_t> ReadCode(const TCDReadMemory& read, uint64_t start, uint64_t size) {
  std::vector<uint8_t> code(static_cast<std::size_t>(size));
  code.resize(read(start, code.data(), code.size()));
  return code;
}

std::size_t IndexOf(const std::vector<TInsn>& insns, uint64_t address) {
  for (std::size_t i = 0; i < insns.size(); ++i)
    if (address >= insns[i].Address && address < insns[i].Address + insns[i].Bytes.size()) return i;
  return SIZE_MAX;
}

// Decodes from the earliest offset in the window whose instructions land on
// the fault.
std::vector<TInsn> DecodeWindow(const TCapstone& cs, const TCDReadMemory& read, uint64_t fault) {
  const uint64_t first = fault > kWindowBefore ? fault - kWindowBefore : 0;
  for (uint64_t start = first; start <= fault; ++start) {
    std::vector<TInsn> insns = cs.Decode(ReadCode(read, start, fault + kWindowAfter - start), start);
    std::size_t at = IndexOf(insns, fault);
    if (at != SIZE_MAX && insns[at].Address == fault) return insns;
  }
  return {};
}

// The range [from, to] around the fault: `limit` source-line changes each
// way, or 3 * limit instructions without line information.
void Around(const std::vector<TInsn>& insns, std::size_t fault, int limit, bool lines, std::size_t& from,
            std::size_t& to) {
  from = 0;
  to = insns.size() - 1;
  if (limit <= 0) return;
  if (!lines) {
    const std::size_t n = static_cast<std::size_t>(limit) * 3;
    from = fault > n ? fault - n : 0;
    to = std::min(insns.size() - 1, fault + n);
    return;
  }
  int changes = 0;
  for (from = fault; from > 0; --from) {
    if (insns[from - 1].Line != insns[from].Line && ++changes > limit) break;
  }
  changes = 0;
  for (to = fault; to + 1 < insns.size(); ++to) {
    if (insns[to + 1].Line != insns[to].Line && ++changes > limit) break;
  }
}

std::string BranchComment(const TInsn& insn, TCDSymbolizer& symbols, uint64_t ownStart) {
  if (insn.Mnemonic.rfind("call", 0) != 0 && insn.Mnemonic.rfind("j", 0) != 0) return std::string();
  int64_t target = 0;
  if (!TryStrToInt64(insn.Operands, target) || target == 0) return std::string();
  TCDSymbol s = symbols.Resolve(static_cast<uint64_t>(target));
  if (!s.Known || s.Function.empty()) return std::string();
  if (s.HasStart && s.FunctionStart == ownStart) return std::string();  // a jump inside the function
  return s.Function;
}

}  // namespace

std::string DisassemblyText(uint64_t fault, TCDSymbolizer& symbols, const TCDReadMemory& read, bool format,
                            int limit) {
  TCapstone cs;
  const TCDSymbol own = symbols.Resolve(fault);
  std::vector<TInsn> insns;
  if (own.HasStart && own.FunctionSize > 0 && own.FunctionSize <= kMaxFunctionSize && fault >= own.FunctionStart &&
      fault < own.FunctionStart + own.FunctionSize)
    insns = cs.Decode(ReadCode(read, own.FunctionStart, own.FunctionSize), own.FunctionStart);
  std::size_t at = IndexOf(insns, fault);
  if (at == SIZE_MAX) {
    insns = DecodeWindow(cs, read, fault);
    at = IndexOf(insns, fault);
  }
  if (at == SIZE_MAX) return std::string();

  // Lines are looked up near the fault only: a huge function needs no
  // lines far from where it failed.
  if (insns.size() > 2 * kMaxAround + 1) {
    const std::size_t first = at > kMaxAround ? at - kMaxAround : 0;
    const std::size_t last = std::min(insns.size(), at + kMaxAround + 1);
    insns = std::vector<TInsn>(insns.begin() + static_cast<std::ptrdiff_t>(first),
                               insns.begin() + static_cast<std::ptrdiff_t>(last));
    at -= first;
  }
  bool lines = false;
  for (TInsn& insn : insns) {
    insn.Line = symbols.LineOf(insn.Address);
    lines = lines || insn.Line > 0;
  }
  std::size_t from = 0, to = 0;
  Around(insns, at, limit, lines, from, to);

  std::size_t lineWidth = 0, bytesWidth = 0;
  for (std::size_t i = from; i <= to; ++i) {
    lineWidth = std::max(lineWidth, insns[i].Line > 0 ? std::to_string(insns[i].Line).size() : 0);
    bytesWidth = std::max(bytesWidth, insns[i].Bytes.size() * 2);
  }
  std::string out;
  int previousLine = -1;
  for (std::size_t i = from; i <= to; ++i) {
    const TInsn& insn = insns[i];
    if (!out.empty()) out += "\r\n";
    out += HexAddress(insn.Address) + ' ';
    if (lines) {
      std::string line = insn.Line > 0 && insn.Line != previousLine ? std::to_string(insn.Line) : std::string();
      out += std::string(lineWidth - line.size(), ' ') + line + ' ';
      previousLine = insn.Line;
    }
    out += i == at ? "> " : "  ";
    if (format) {
      std::string bytes;
      for (uint8_t b : insn.Bytes) bytes += Format("%02x", b);
      bytes.resize(bytesWidth, ' ');
      std::string mnemonic = insn.Mnemonic;
      if (mnemonic.size() < 7) mnemonic.resize(7, ' ');
      out += bytes + "  " + mnemonic + ' ' + insn.Operands;
    } else {
      out += insn.Mnemonic;
      if (!insn.Operands.empty()) out += ' ' + insn.Operands;
    }
    std::string comment = BranchComment(insn, symbols, own.HasStart ? own.FunctionStart : 0);
    if (!comment.empty()) out += " ; " + comment;
  }
  return out;
}
