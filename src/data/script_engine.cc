#include "data/script_engine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <sanitizer/asan_interface.h>

#include "base/cancel.h"
#include "duktape.h"
#include "http/charset.h"

namespace lumbrin {

// Small blocks come from free lists of the heap's own, one per size class,
// carved from chunks that go back to the system only with the heap. Duktape
// makes and drops tens of thousands of small blocks for one answer, mostly
// all at once (a parse, a heap taken down), which is where malloc is slow.
struct BlockPool {
  static constexpr std::size_t kGrain = 16;
  static constexpr std::size_t kLargest = 512;  // largest pooled request
  static constexpr std::size_t kClasses = kLargest / kGrain;
  static constexpr std::size_t kChunkBytes = std::size_t{64} << 10;

  BlockPool() = default;
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;
  ~BlockPool();

  // A chunk from the process-wide stock of chunks that heaps taken down have
  // left, or a new one; null when none can be had.
  static void* TakeChunk();

  void* free[kClasses] = {};  // each free block holds the next one's address
  std::vector<void*> chunks;
  unsigned char* rest = nullptr;  // the unused end of the newest chunk
  std::size_t restBytes = 0;
};

struct ScriptEngine::Heap {
  // Destroyed by ~ScriptEngine (it needs the rest of this record alive),
  // before the pool the heap's blocks live in.
  duk_context* ctx = nullptr;
  std::chrono::steady_clock::time_point deadline{};
  bool timedOut = false;           // the time-out hook fired since the last start
  bool allocationRefused = false;  // the allocator refused since the last start
  // Set by either: the evaluation is being ended. The allocator then grants a
  // small reserve beyond the cap, so that unwinding (error objects) does not
  // fail allocation after allocation, each with its emergency collections.
  bool aborting = false;
  // Set while the evaluation itself runs, not while its error is described
  // or the heap is taken down: only then may a native step end it.
  bool evaluating = false;
  std::uint32_t nativeSteps = 0;
  // Bytes held from the system: large blocks as requested, and the pool's
  // chunks whole (a pooled block freed stays counted, as it stays held).
  std::size_t used = 0;
  std::size_t cap = 0;
  BlockPool pool;
};

}  // namespace lumbrin

// Called by the interpreter every few thousand instructions with the heap's
// udata. Once it has said yes it keeps saying yes until the next evaluation
// starts, so a script that catches the time-out error is stopped again at its
// next instruction. Also ends the evaluation when the worker running it has
// been told to end.
extern "C" duk_bool_t lumbrin_duk_exec_timeout(void* udata) {
  auto* heap = static_cast<lumbrin::ScriptEngine::Heap*>(udata);
  if (heap == nullptr) return 0;
  if (heap->aborting) return 1;
  const lumbrin::CancelToken* token = lumbrin::CurrentCancelToken();
  if (std::chrono::steady_clock::now() >= heap->deadline || (token != nullptr && token->cancelled())) {
    heap->timedOut = true;
    heap->aborting = true;
    return 1;
  }
  return 0;
}

// Called by the engine inside its loops that run no bytecode (property
// reads, string search candidates, regular-expression steps); yes makes it
// throw the time-out error there. It says yes once, when it finds the
// deadline passed: from then on the interrupt above ends the evaluation at
// its next instruction, and saying yes again inside the unwinding would only
// turn the time-out error into a different one. The clock is read every 1 Ki
// steps, which costs next to nothing and still ends a step-heavy loop within
// microseconds of its deadline.
extern "C" duk_bool_t lumbrin_duk_native_step(void* udata) {
  auto* heap = static_cast<lumbrin::ScriptEngine::Heap*>(udata);
  if (heap == nullptr || !heap->evaluating || heap->aborting) return 0;
  if ((++heap->nativeSteps & 0x3FFu) != 0) return 0;
  const lumbrin::CancelToken* token = lumbrin::CurrentCancelToken();
  if (std::chrono::steady_clock::now() < heap->deadline && (token == nullptr || !token->cancelled())) return 0;
  heap->timedOut = true;
  heap->aborting = true;
  lumbrin_duk_interrupt_now(heap->ctx);
  return 1;
}

namespace lumbrin {
namespace {

using Clock = std::chrono::steady_clock;

// Every block carries the size requested in front: realloc and free need it,
// and it tells pooled blocks (up to BlockPool::kLargest) from large ones.
constexpr std::size_t kHeader = alignof(std::max_align_t) > sizeof(std::size_t) ? alignof(std::max_align_t)
                                                                                 : sizeof(std::size_t);
static_assert(BlockPool::kGrain % alignof(std::max_align_t) == 0 && kHeader % alignof(std::max_align_t) == 0);

constexpr std::size_t kUnwindReserve = std::size_t{1} << 20;

// Whether `more` bytes may be added to the heap. A refusal ends the running
// evaluation at its next instruction.
bool Grant(ScriptEngine::Heap* heap, std::size_t more) {
  const std::size_t cap = heap->cap + (heap->aborting ? kUnwindReserve : 0);
  if (more <= cap && more <= cap - std::min(cap, heap->used)) return true;
  heap->allocationRefused = true;
  if (!heap->aborting) {
    heap->aborting = true;
    if (heap->ctx != nullptr) lumbrin_duk_interrupt_now(heap->ctx);
  }
  return false;
}

std::size_t SizeOf(void* ptr) {
  std::size_t size = 0;
  std::memcpy(&size, static_cast<unsigned char*>(ptr) - kHeader, sizeof size);
  return size;
}

void* Stamped(unsigned char* block, std::size_t size) {
  std::memcpy(block, &size, sizeof size);
  return block + kHeader;
}

constexpr std::size_t ClassOf(std::size_t size) { return size == 0 ? 0 : (size - 1) / BlockPool::kGrain; }
constexpr std::size_t ClassBytes(std::size_t cls) { return kHeader + (cls + 1) * BlockPool::kGrain; }

// Chunks of heaps taken down, kept for the next heaps: most engines live for
// one answer, and memory fresh from the system costs a page fault per page.
// Bounded, so that a burst of large heaps does not stay held.
// Never destroyed: engines may be taken down during static destruction.
struct ChunkStock {
  static constexpr std::size_t kChunks = 128;  // 8 MiB
  std::mutex mutex;
  void* chunks[kChunks] = {};
  std::size_t count = 0;
};

ChunkStock& Stock() {
  static auto* stock = new ChunkStock;
  return *stock;
}

}  // namespace

void* BlockPool::TakeChunk() {
  ChunkStock& stock = Stock();
  {
    std::lock_guard lock(stock.mutex);
    if (stock.count > 0) return stock.chunks[--stock.count];
  }
  return std::malloc(kChunkBytes);
}

BlockPool::~BlockPool() {
  ChunkStock& stock = Stock();
  std::size_t kept = 0;
  {
    std::lock_guard lock(stock.mutex);
    while (kept < chunks.size() && stock.count < ChunkStock::kChunks) {
      ASAN_UNPOISON_MEMORY_REGION(chunks[kept], kChunkBytes);
      stock.chunks[stock.count++] = chunks[kept++];
    }
  }
  for (std::size_t i = kept; i < chunks.size(); ++i) std::free(chunks[i]);
}

namespace {

void* PoolAlloc(ScriptEngine::Heap* heap, std::size_t size) {
  BlockPool& pool = heap->pool;
  const std::size_t cls = ClassOf(size);
  const std::size_t bytes = ClassBytes(cls);
  auto* block = static_cast<unsigned char*>(pool.free[cls]);
  if (block != nullptr) {
    ASAN_UNPOISON_MEMORY_REGION(block, bytes);
    std::memcpy(&pool.free[cls], block, sizeof(void*));
    return Stamped(block, size);
  }
  if (pool.restBytes < bytes) {
    if (!Grant(heap, BlockPool::kChunkBytes)) return nullptr;
    pool.chunks.reserve(pool.chunks.size() + 1);  // may throw: before the chunk is taken
    auto* chunk = static_cast<unsigned char*>(BlockPool::TakeChunk());
    if (chunk == nullptr) {
      heap->allocationRefused = true;
      return nullptr;
    }
    pool.chunks.push_back(chunk);
    heap->used += BlockPool::kChunkBytes;
    // The end of the previous chunk, too small for this class, is left unused.
    pool.rest = chunk;
    pool.restBytes = BlockPool::kChunkBytes;
    ASAN_POISON_MEMORY_REGION(chunk, BlockPool::kChunkBytes);
  }
  block = pool.rest;
  pool.rest += bytes;
  pool.restBytes -= bytes;
  ASAN_UNPOISON_MEMORY_REGION(block, bytes);
  return Stamped(block, size);
}

void PoolFree(ScriptEngine::Heap* heap, void* ptr, std::size_t size) {
  BlockPool& pool = heap->pool;
  const std::size_t cls = ClassOf(size);
  auto* block = static_cast<unsigned char*>(ptr) - kHeader;
  std::memcpy(block, &pool.free[cls], sizeof(void*));
  pool.free[cls] = block;
  ASAN_POISON_MEMORY_REGION(block, ClassBytes(cls));
}

void* HeapAlloc(void* udata, duk_size_t size) {
  auto* heap = static_cast<ScriptEngine::Heap*>(udata);
  if (size <= BlockPool::kLargest) {
    try {
      return PoolAlloc(heap, size);
    } catch (const std::bad_alloc&) {
      heap->allocationRefused = true;
      return nullptr;
    }
  }
  if (!Grant(heap, size)) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) {
    heap->allocationRefused = true;
    return nullptr;
  }
  heap->used += size;
  return Stamped(block, size);
}

void HeapFree(void* udata, void* ptr) {
  if (ptr == nullptr) return;
  auto* heap = static_cast<ScriptEngine::Heap*>(udata);
  const std::size_t size = SizeOf(ptr);
  if (size <= BlockPool::kLargest) {
    PoolFree(heap, ptr, size);
    return;
  }
  heap->used -= size;
  std::free(static_cast<unsigned char*>(ptr) - kHeader);
}

// A block stays pooled or large as long as its size allows; one that moves
// between the two is copied.
void* HeapRealloc(void* udata, void* ptr, duk_size_t size) {
  if (ptr == nullptr) return HeapAlloc(udata, size);
  auto* heap = static_cast<ScriptEngine::Heap*>(udata);
  if (size == 0) {
    HeapFree(udata, ptr);
    return nullptr;
  }
  const std::size_t old = SizeOf(ptr);
  const bool wasPooled = old <= BlockPool::kLargest;
  const bool pooled = size <= BlockPool::kLargest;
  if (wasPooled && pooled && ClassOf(size) == ClassOf(old)) {
    return Stamped(static_cast<unsigned char*>(ptr) - kHeader, size);
  }
  if (wasPooled || pooled) {
    void* moved = HeapAlloc(udata, size);
    if (moved == nullptr) return nullptr;  // the old block stays valid
    std::memcpy(moved, ptr, std::min(old, static_cast<std::size_t>(size)));
    HeapFree(udata, ptr);
    return moved;
  }
  if (size > old && !Grant(heap, size - old)) return nullptr;
  auto* grown = static_cast<unsigned char*>(std::realloc(static_cast<unsigned char*>(ptr) - kHeader, size + kHeader));
  if (grown == nullptr) {
    heap->allocationRefused = true;
    return nullptr;
  }
  heap->used = heap->used - old + size;
  return Stamped(grown, size);
}

// Reached only when the engine is called outside a protected call, which this
// file never does; Duktape requires that the handler does not return.
[[noreturn]] void HeapFatal(void*, const char* message) {
  std::fprintf(stderr, "script engine: fatal error: %s\n", message != nullptr ? message : "");
  std::abort();
}

// Duktape keeps strings as CESU-8. Feeding it that form (also as source
// code) keeps astral characters as two units, as the language sees them.
std::string LocalToCesu8(LocalView text) { return Utf16ToCesu8(LocalToUtf16(text)); }

LocalText StringAt(duk_context* ctx, duk_idx_t index) {
  duk_size_t size = 0;
  const char* data = duk_get_lstring(ctx, index, &size);
  if (data == nullptr) return {};
  return Utf16ToLocal(Cesu8ToUtf16(std::string_view(data, size)));
}

// Globals Duktape adds beyond the language. None reaches outside the heap,
// but "Duktape" hands out finalizers and internals, and nothing here needs
// any of them.
constexpr const char* kExtraGlobals[] = {"Duktape", "CBOR", "TextEncoder", "TextDecoder", "performance"};

duk_ret_t RemoveExtraGlobals(duk_context* ctx, void*) {
  duk_push_global_object(ctx);
  for (const char* name : kExtraGlobals) duk_del_prop_string(ctx, -1, name);
  duk_pop(ctx);
  return 0;
}

std::atomic<std::int64_t> gDefaultTimeMs{ScriptLimits{}.time.count()};
std::atomic<std::size_t> gDefaultMemory{ScriptLimits{}.memoryBytes};

constexpr std::size_t kMaxErrorLine = 1024;

// The line `line` (1-based) of `code`, cut to a bounded length at a
// character start.
LocalText LineOf(LocalView code, std::int32_t line) {
  if (line < 1) return {};
  std::size_t start = 0;
  for (std::int32_t n = 1; n < line; ++n) {
    const std::size_t lf = code.find('\n', start);
    if (lf == LocalView::npos) return {};
    start = lf + 1;
  }
  std::size_t end = code.find('\n', start);
  if (end == LocalView::npos) end = code.size();
  if (end > start && code[end - 1] == '\r') --end;
  std::size_t cut = start;
  while (cut < end && cut - start < kMaxErrorLine) {
    const std::size_t len = LocalCharLength(code, cut);
    if (len == 0 || cut + len > end) break;
    cut += len;
  }
  return LocalText(code.substr(start, cut - start));
}

}  // namespace

struct ScriptEngine::Outcome {
  LocalText text;
  std::string native;
  double number = 0;
  bool truth = false;
};

namespace {

constexpr int kWantNothing = 0;
constexpr int kWantText = 1;
constexpr int kWantNumber = 2;
constexpr int kWantTruth = 3;
constexpr int kWantNative = 4;  // text, handed out in the engine's own form

enum class Body { Source, Bytecode, Chain, Json };

struct ChainStep {
  std::string name;        // member name, when !isIndex
  duk_uarridx_t index = 0; // array index, when isIndex
  bool isIndex = false;
};

}  // namespace

// What one protected call does. Runs inside duk_safe_call, so Duktape may
// longjmp out of the functions that read it: they own no object with a
// destructor; everything they need lives here, outside.
struct ScriptEngine::Call {
  Body body = Body::Source;
  int want = kWantNothing;
  const std::string* source = nullptr;  // CESU-8 code, bytecode or JSON text
  bool asEval = false;
  bool compiled = false;
  // Chain: root name and steps; then either "!= null" or
  // ".toString().replace(<global replaceGlobal>, replacement)".
  const std::string* root = nullptr;
  const std::vector<ChainStep>* steps = nullptr;
  bool toTextReplace = false;
  const char* replaceGlobal = nullptr;
  const char* replacement = nullptr;
  bool unboundRoot = false;
  const char* assignTo = nullptr;  // Json: global receiving the value
};

namespace {

using Call = ScriptEngine::Call;

void Coerce(duk_context* ctx, int want) {
  switch (want) {
    case kWantText:
    case kWantNative:
      if (duk_is_null_or_undefined(ctx, -1)) {
        duk_pop(ctx);
        duk_push_string(ctx, "");
      } else {
        duk_to_string(ctx, -1);
      }
      break;
    case kWantNumber:
      if (duk_is_null_or_undefined(ctx, -1)) {
        duk_pop(ctx);
        duk_push_number(ctx, 0.0);
      } else {
        duk_to_number(ctx, -1);
      }
      break;
    case kWantTruth:
      duk_to_boolean(ctx, -1);
      break;
    default:
      break;
  }
}

// Pushes the value of a global variable the way an identifier reference in
// global code reads it; a missing one is a ReferenceError.
void PushGlobal(duk_context* ctx, const char* name) {
  duk_push_global_object(ctx);
  if (!duk_has_prop_string(ctx, -1, name)) {
    (void)duk_error(ctx, DUK_ERR_REFERENCE_ERROR, "identifier '%s' undefined", name);
  }
  duk_get_prop_string(ctx, -1, name);
  duk_remove(ctx, -2);
}

duk_ret_t RunCall(duk_context* ctx, void* udata) {
  auto* call = static_cast<Call*>(udata);
  switch (call->body) {
    case Body::Source:
      duk_push_lstring(ctx, call->source->data(), call->source->size());
      duk_push_string(ctx, "code");
      duk_compile(ctx, call->asEval ? DUK_COMPILE_EVAL : 0);
      call->compiled = true;
      // Called with the global object as this, as the eval function would.
      duk_push_global_object(ctx);
      duk_call_method(ctx, 0);
      break;
    case Body::Bytecode: {
      void* buffer = duk_push_fixed_buffer(ctx, call->source->size());
      std::memcpy(buffer, call->source->data(), call->source->size());
      duk_load_function(ctx);
      call->compiled = true;
      duk_push_global_object(ctx);
      duk_call_method(ctx, 0);
      break;
    }
    case Body::Chain: {
      duk_push_global_object(ctx);
      if (!duk_has_prop_lstring(ctx, -1, call->root->data(), call->root->size())) {
        // Failing without building an error object: the listing probes
        // unbound names ("data.x" before "da.data.x") on every read.
        call->unboundRoot = true;
        return 0;
      }
      duk_get_prop_lstring(ctx, -1, call->root->data(), call->root->size());
      duk_remove(ctx, -2);
      for (const ChainStep& step : *call->steps) {
        // Throws a TypeError for a null or undefined base, as the script would.
        if (step.isIndex) {
          duk_get_prop_index(ctx, -1, step.index);
        } else {
          duk_get_prop_lstring(ctx, -1, step.name.data(), step.name.size());
        }
        duk_remove(ctx, -2);
      }
      call->compiled = true;
      if (!call->toTextReplace) {
        duk_push_boolean(ctx, !duk_is_null_or_undefined(ctx, -1));
        break;
      }
      duk_get_prop_string(ctx, -1, "toString");
      duk_dup(ctx, -2);
      duk_call_method(ctx, 0);
      duk_get_prop_string(ctx, -1, "replace");
      duk_dup(ctx, -2);
      PushGlobal(ctx, call->replaceGlobal);
      duk_push_string(ctx, call->replacement);
      duk_call_method(ctx, 2);
      break;
    }
    case Body::Json:
      duk_push_lstring(ctx, call->source->data(), call->source->size());
      duk_json_decode(ctx, -1);
      call->compiled = true;
      duk_dup(ctx, -1);
      duk_put_global_string(ctx, call->assignTo);
      break;
  }
  Coerce(ctx, call->want);
  return 1;
}

// Turns an error value into its text (may run script: a thrown object's
// toString, so it runs protected, under the same deadline) and reads its line.
duk_ret_t DescribeError(duk_context* ctx, void* udata) {
  auto* line = static_cast<std::int32_t*>(udata);
  if (duk_is_error(ctx, -1)) {
    duk_get_prop_string(ctx, -1, "lineNumber");
    if (duk_is_number(ctx, -1)) {
      const double n = duk_get_number(ctx, -1);
      if (n >= 0 && n < 2147483647.0) *line = static_cast<std::int32_t>(n);
    }
    duk_pop(ctx);
  }
  duk_to_string(ctx, -1);
  return 1;
}

duk_ret_t DumpProgram(duk_context* ctx, void* udata) {
  const auto* source = static_cast<const std::string*>(udata);
  duk_push_lstring(ctx, source->data(), source->size());
  duk_push_string(ctx, "code");
  duk_compile(ctx, 0);
  duk_dump_function(ctx);
  return 1;
}

bool IsIdentStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$'; }
bool IsIdentPart(char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }

bool IsReservedWord(std::string_view word) {
  static constexpr std::string_view kWords[] = {
      "break",  "case",   "catch",  "class",      "const",   "continue",  "debugger", "default", "delete",
      "do",     "else",   "enum",   "export",     "extends", "false",     "finally",  "for",     "function",
      "if",     "import", "in",     "instanceof", "new",     "null",      "return",   "super",   "switch",
      "this",   "throw",  "true",   "try",        "typeof",  "var",       "void",     "while",   "with",
      "let",    "static", "yield",  "implements", "package", "protected", "interface", "private", "public"};
  for (std::string_view w : kWords) {
    if (w == word) return true;
  }
  return false;
}

// Parses "name(.name|[digits])*" with ASCII names and plain decimal indexes
// (no leading zero: "[010]" is an octal literal in script). Anything else,
// blanks included, is not a chain.
bool ParseChain(LocalView text, std::string& root, std::vector<ChainStep>& steps) {
  std::size_t pos = 0;
  auto ident = [&](std::string& out) {
    if (pos >= text.size() || !IsIdentStart(text[pos])) return false;
    const std::size_t begin = pos;
    while (pos < text.size() && IsIdentPart(text[pos])) ++pos;
    out.assign(text.substr(begin, pos - begin));
    return true;
  };
  if (!ident(root) || IsReservedWord(root)) return false;
  while (pos < text.size()) {
    ChainStep step;
    if (text[pos] == '.') {
      ++pos;
      if (!ident(step.name)) return false;
    } else if (text[pos] == '[') {
      ++pos;
      const std::size_t begin = pos;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
      const std::size_t digits = pos - begin;
      if (digits == 0 || digits > 9 || (digits > 1 && text[begin] == '0')) return false;
      if (pos >= text.size() || text[pos] != ']') return false;
      for (std::size_t k = begin; k < pos; ++k) step.index = step.index * 10 + static_cast<duk_uarridx_t>(text[k] - '0');
      step.isIndex = true;
      ++pos;
    } else {
      return false;
    }
    steps.push_back(std::move(step));
  }
  return true;
}

// Bytecode of programs many engines run, made once per process.
std::mutex gProgramsMutex;
std::map<std::string, std::string, std::less<>> gPrograms;

}  // namespace

ScriptLimits ScriptEngine::defaultLimits() {
  ScriptLimits limits;
  limits.time = std::chrono::milliseconds(gDefaultTimeMs.load(std::memory_order_relaxed));
  limits.memoryBytes = gDefaultMemory.load(std::memory_order_relaxed);
  return limits;
}

void ScriptEngine::setDefaultLimits(const ScriptLimits& limits) {
  gDefaultTimeMs.store(limits.time.count(), std::memory_order_relaxed);
  gDefaultMemory.store(limits.memoryBytes, std::memory_order_relaxed);
}

std::shared_ptr<ScriptEngine> ScriptEngine::create() { return create(defaultLimits()); }

std::shared_ptr<ScriptEngine> ScriptEngine::create(const ScriptLimits& limits) {
  std::shared_ptr<ScriptEngine> engine;
  try {
    engine.reset(new ScriptEngine(limits));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (engine->heap_->ctx == nullptr) return nullptr;
  return engine;
}

ScriptEngine::ScriptEngine(const ScriptLimits& limits) : limits_(limits), heap_(std::make_unique<Heap>()) {
  heap_->cap = limits_.memoryBytes;
  heap_->deadline = Clock::now() + limits_.time;
  heap_->ctx = duk_create_heap(HeapAlloc, HeapRealloc, HeapFree, heap_.get(), HeapFatal);
  if (heap_->ctx == nullptr) return;
  if (duk_safe_call(heap_->ctx, RemoveExtraGlobals, nullptr, 0, 1) != DUK_EXEC_SUCCESS) {
    duk_destroy_heap(heap_->ctx);
    heap_->ctx = nullptr;
    return;
  }
  duk_set_top(heap_->ctx, 0);
}

ScriptEngine::~ScriptEngine() {
  if (heap_ && heap_->ctx != nullptr) {
    // Finalizers left in the heap run during destruction; none may run long.
    heap_->aborting = true;
    duk_destroy_heap(heap_->ctx);
    heap_->ctx = nullptr;
  }
}

bool ScriptEngine::execute(Call& call, Outcome& out) {
  lastError_ = ScriptError{};
  duk_context* ctx = heap_->ctx;
  heap_->deadline = Clock::now() + limits_.time;
  heap_->timedOut = false;
  heap_->allocationRefused = false;
  heap_->aborting = false;

  heap_->evaluating = true;
  const bool succeeded = duk_safe_call(ctx, RunCall, &call, 0, 1) == DUK_EXEC_SUCCESS;
  heap_->evaluating = false;
  if (succeeded && !call.unboundRoot) {
    if (call.want == kWantText) out.text = StringAt(ctx, -1);
    if (call.want == kWantNative) {
      duk_size_t size = 0;
      const char* data = duk_get_lstring(ctx, -1, &size);
      if (data != nullptr) out.native.assign(data, size);
    }
    if (call.want == kWantNumber) out.number = duk_get_number(ctx, -1);
    if (call.want == kWantTruth) out.truth = duk_get_boolean(ctx, -1) != 0;
    duk_set_top(ctx, 0);
    return true;
  }

  std::int32_t line = 0;
  LocalText description = "Error";
  if (call.unboundRoot) {
    description = "ReferenceError: identifier '" + *call.root + "' undefined";
  } else if (duk_safe_call(ctx, DescribeError, &line, 1, 1) == DUK_EXEC_SUCCESS) {
    description = StringAt(ctx, -1);
  }
  duk_set_top(ctx, 0);
  if (heap_->timedOut) {
    lastError_.number = kScriptErrorTimeLimit;
    lastError_.source = "script time limit";
  } else if (heap_->allocationRefused) {
    lastError_.number = kScriptErrorMemoryLimit;
    lastError_.source = "script memory limit";
  } else if (!call.compiled) {
    lastError_.number = kScriptErrorSyntax;
    lastError_.source = "script compilation error";
  } else {
    lastError_.number = kScriptErrorRuntime;
    lastError_.source = "script runtime error";
  }
  lastError_.description = std::move(description);
  lastError_.line = line;
  return false;
}

bool ScriptEngine::executeNative(const std::string& source, bool asEval, int want, Outcome& out) {
  Call call;
  call.body = Body::Source;
  call.source = &source;
  call.asEval = asEval;
  call.want = want;
  return execute(call, out);
}

bool ScriptEngine::executeSource(LocalView code, bool asEval, int want, Outcome& out) {
  std::string source;
  try {
    source = LocalToCesu8(code);
  } catch (const std::bad_alloc&) {
    lastError_ = ScriptError{};
    lastError_.number = kScriptErrorMemoryLimit;
    return false;
  }
  if (executeNative(source, asEval, want, out)) return true;
  if (lastError_.number == kScriptErrorSyntax) lastError_.text = LineOf(code, lastError_.line);
  return false;
}

bool ScriptEngine::run(LocalView code) {
  Outcome out;
  return executeSource(code, false, kWantNothing, out);
}

bool ScriptEngine::run(const NativeText& code) {
  Outcome out;
  if (executeNative(code.bytes_, false, kWantNothing, out)) return true;
  if (lastError_.number == kScriptErrorSyntax) lastError_.text = LineOf(code.toLocal(), lastError_.line);
  return false;
}

bool ScriptEngine::runShared(LocalView code) {
  std::string bytecode;
  {
    std::lock_guard lock(gProgramsMutex);
    auto it = gPrograms.find(code);
    if (it != gPrograms.end()) bytecode = it->second;
  }
  if (bytecode.empty()) {
    const std::string source = LocalToCesu8(code);
    heap_->deadline = Clock::now() + limits_.time;
    heap_->timedOut = false;
    heap_->aborting = false;
    if (duk_safe_call(heap_->ctx, DumpProgram, const_cast<std::string*>(&source), 0, 1) != DUK_EXEC_SUCCESS) {
      duk_set_top(heap_->ctx, 0);
      return run(code);  // reports the error as run does
    }
    duk_size_t size = 0;
    const void* data = duk_get_buffer_data(heap_->ctx, -1, &size);
    bytecode.assign(static_cast<const char*>(data), size);
    duk_set_top(heap_->ctx, 0);
    std::lock_guard lock(gProgramsMutex);
    gPrograms.emplace(LocalText(code), bytecode);
  }
  Call call;
  call.body = Body::Bytecode;
  call.source = &bytecode;
  Outcome out;
  return execute(call, out);
}

bool ScriptEngine::eval(LocalView code) {
  Outcome out;
  return executeSource(code, true, kWantNothing, out);
}

LocalText ScriptEngine::evalText(LocalView code) {
  Outcome out;
  if (!executeSource(code, true, kWantText, out)) return {};
  return std::move(out.text);
}

double ScriptEngine::evalNumber(LocalView code) {
  Outcome out;
  if (!executeSource(code, true, kWantNumber, out)) return 0.0;
  return out.number;
}

bool ScriptEngine::evalTruth(LocalView code) {
  Outcome out;
  if (!executeSource(code, true, kWantTruth, out)) return false;
  return out.truth;
}

std::optional<NativeText> ScriptEngine::evalNative(LocalView code) {
  Outcome out;
  if (!executeSource(code, true, kWantNative, out)) return std::nullopt;
  NativeText text;
  text.bytes_ = std::move(out.native);
  return text;
}

std::optional<bool> ScriptEngine::chainIsSet(LocalView chain) {
  std::string root;
  std::vector<ChainStep> steps;
  if (!ParseChain(chain, root, steps)) return std::nullopt;
  Call call;
  call.body = Body::Chain;
  call.root = &root;
  call.steps = &steps;
  call.want = kWantTruth;
  Outcome out;
  if (!execute(call, out)) return false;
  return out.truth;
}

std::optional<LocalText> ScriptEngine::chainToText(LocalView chain, const char* replaceGlobal,
                                                   const char* replacement) {
  std::string root;
  std::vector<ChainStep> steps;
  if (!ParseChain(chain, root, steps)) return std::nullopt;
  Call call;
  call.body = Body::Chain;
  call.root = &root;
  call.steps = &steps;
  call.toTextReplace = true;
  call.replaceGlobal = replaceGlobal;
  call.replacement = replacement;
  call.want = kWantText;
  Outcome out;
  if (!execute(call, out)) return LocalText();
  return std::move(out.text);
}

namespace {

// Whether the first character after JSON blanks opens an object or an array
// (the same test on local and on native text: both keep ASCII as it is).
bool OpensObjectOrArray(std::string_view json) {
  const std::size_t first = json.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && (json[first] == '{' || json[first] == '[');
}

}  // namespace

bool ScriptEngine::assignJson(const char* name, LocalView json) {
  if (!OpensObjectOrArray(json)) return false;
  try {
    return assignJson(name, NativeText::FromLocal(json));
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool ScriptEngine::assignJson(const char* name, const NativeText& json) {
  if (!OpensObjectOrArray(json.bytes_)) return false;
  Call call;
  call.body = Body::Json;
  call.source = &json.bytes_;
  call.assignTo = name;
  Outcome out;
  return execute(call, out);
}

NativeText NativeText::FromAscii(std::string_view ascii) {
  NativeText text;
  text.bytes_.assign(ascii);
  return text;
}

NativeText NativeText::FromLocal(LocalView text) {
  NativeText native;
  native.bytes_ = LocalToCesu8(text);
  return native;
}

LocalText NativeText::toLocal() const { return Utf16ToLocal(Cesu8ToUtf16(bytes_)); }

}  // namespace lumbrin
