#include "kelo/Value.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "kelo/Image.h"

namespace KELO {

const char* ValueTypeName(EValueType type) {
    switch (type) {
        case EValueType::Bool: return "bool";
        case EValueType::Long: return "long";
        case EValueType::Double: return "double";
        case EValueType::String: return "string";
        case EValueType::Map: return "map";
        case EValueType::Vector: return "vector";
        case EValueType::Image: return "image";
    }
    return "unknown";
}

// ---------------------------------------------------------------- small-value pool

namespace {
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUsePool = false;  // let the sanitizer see every allocation
#else
constexpr bool kUsePool = true;
#endif
constexpr std::size_t kBlock = 24;            // fits the numeric scalars
constexpr std::size_t kChunkBlocks = 2048;    // blocks taken from the heap at a time

// A free list of kBlock-byte blocks per thread; a block goes to the list of the
// thread that frees it. Chunks are never given back to the heap, and in a single
// thread the pool holds no more blocks than small values were alive at once
// (rounded up to whole chunks). When a thread ends, its list is parked for the
// other threads to take over, so a host that runs nodes on short-lived threads
// does not lose memory with every thread.
struct FreeBlock {
    FreeBlock* next;
    FreeBlock* nextList;  // in the first block of a parked list: the next parked list
};
static_assert(sizeof(FreeBlock) <= kBlock);
// The library is linked at start-up, never opened later, so the fast TLS model holds.
__attribute__((tls_model("initial-exec"))) thread_local FreeBlock* t_free = nullptr;

std::mutex g_parkedMutex;
FreeBlock* g_parked = nullptr;  // lists of ended threads

struct ParkAtThreadEnd {
    ~ParkAtThreadEnd() {
        if (!t_free) return;
        std::lock_guard<std::mutex> lock(g_parkedMutex);
        t_free->nextList = g_parked;
        g_parked = t_free;
        t_free = nullptr;
    }
};

// Called whenever a thread's list is empty, so also a thread that only frees
// values gets its list parked.
void ParkAtThreadEndOnce() {
    static thread_local ParkAtThreadEnd park;
    (void)&park;
}

void Refill() {
    ParkAtThreadEndOnce();
    {
        std::lock_guard<std::mutex> lock(g_parkedMutex);
        if (g_parked) {
            t_free = g_parked;
            g_parked = g_parked->nextList;
            return;
        }
    }
    auto* chunk = static_cast<unsigned char*>(::operator new(kBlock * kChunkBlocks));
    for (std::size_t i = 0; i < kChunkBlocks; ++i) {
        auto* b = reinterpret_cast<FreeBlock*>(chunk + i * kBlock);
        b->next = t_free;
        t_free = b;
    }
}

void* PoolAlloc() {
    if (!t_free) Refill();
    FreeBlock* b = t_free;
    t_free = b->next;
    return b;
}

void PoolFree(void* p) {
    if (!t_free) ParkAtThreadEndOnce();
    auto* b = static_cast<FreeBlock*>(p);
    b->next = t_free;
    t_free = b;
}
}  // namespace

void* CValue::operator new(std::size_t size) {
    if (kUsePool && size <= kBlock) return PoolAlloc();
    return ::operator new(size);
}

void CValue::operator delete(void* p, std::size_t size) noexcept {
    if (!p) return;
    if (kUsePool && size <= kBlock)
        PoolFree(p);
    else
        ::operator delete(p);
}

// ---------------------------------------------------------------- CValue

CValue::CValue(const CValue& other)
    : m_meta(other.m_meta ? std::make_unique<CValueMap>(*other.m_meta) : nullptr) {}

CValueMap& CValue::Meta() {
    if (!m_meta) m_meta = std::make_unique<CValueMap>();
    return *m_meta;
}

bool CValue::HasMeta() const { return m_meta && m_meta->Size() > 0; }

void CValue::ThrowWrongType(const char* wanted) const {
    throw CException("CValue", std::string("a value of type ") + ValueTypeName(Type()) + " read as " + wanted,
                     nullptr);
}

bool CValue::Bool() const { ThrowWrongType("bool"); }
int32_t CValue::Long() const { ThrowWrongType("long"); }
double CValue::Double() const { ThrowWrongType("double"); }
std::string CValue::String() const { ThrowWrongType("string"); }

// ---------------------------------------------------------------- containers

namespace {
// Splits a string key at '/' into its segments; an integer key is one segment.
std::vector<std::string> Segments(const CValue_Key& key) {
    std::vector<std::string> out;
    if (key.IsIndex()) {
        out.push_back(key.Text());
        return out;
    }
    const std::string& t = key.Text();
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = t.find('/', start);
        out.push_back(t.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return out;
}

// A segment read as a vector index: only plain decimal digits count.
bool ParseIndex(const std::string& s, long long& index) {
    if (s.empty() || s.size() > 18) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    index = std::strtoll(s.c_str(), nullptr, 10);
    return true;
}
}  // namespace

CValueContainerBase* CValueContainerBase::Walk(const CValue_Key& key, bool create, std::string& last,
                                               bool& lastIsIndex, long long& lastIndex) const {
    auto* node = const_cast<CValueContainerBase*>(this);
    if (key.IsIndex()) {
        last = key.Text();
        lastIsIndex = true;
        lastIndex = key.Index();
        return node;
    }
    std::vector<std::string> segs = Segments(key);
    for (std::size_t i = 0; i + 1 < segs.size(); ++i) {
        long long idx = 0;
        bool isIdx = ParseIndex(segs[i], idx);
        CValue* child = node->Child(segs[i], isIdx, idx);
        if (!child) {
            if (!create) return nullptr;
            child = new CValueMap();
            node->SetChild(segs[i], isIdx, idx, child);
        }
        auto* container = dynamic_cast<CValueContainerBase*>(child);
        if (!container) {
            if (!create) return nullptr;
            throw CException("CValueContainer", "path '" + key.Text() + "' passes through a non-container value",
                             nullptr);
        }
        node = container;
    }
    last = segs.back();
    lastIsIndex = ParseIndex(last, lastIndex);
    return node;
}

void CValueContainerBase::SetEntry(const CValue_Key& key, CValue* value) {
    std::unique_ptr<CValue> owned(value);  // released to the container only on success
    if (key.IsIndex()) {
        SetIndexed(key.Index(), owned.release());
        return;
    }
    std::string last;
    bool isIdx = false;
    long long idx = 0;
    CValueContainerBase* node = Walk(key, true, last, isIdx, idx);
    node->SetChild(last, isIdx, idx, owned.release());
}

bool CValueContainerBase::HasEntry(const CValue_Key& key) const { return Entry(key) != nullptr; }

CValue* CValueContainerBase::Entry(const CValue_Key& key, bool create) {
    std::string last;
    bool isIdx = false;
    long long idx = 0;
    CValueContainerBase* node = Walk(key, create, last, isIdx, idx);
    if (!node) return nullptr;
    CValue* v = node->Child(last, isIdx, idx);
    if (!v && create) {
        v = new CValueMap();
        node->SetChild(last, isIdx, idx, v);
    }
    return v;
}

const CValue* CValueContainerBase::Entry(const CValue_Key& key) const {
    return const_cast<CValueContainerBase*>(this)->Entry(key, false);
}

namespace {
const CValue* ScalarEntry(const CValueContainerBase& c, const CValue_Key& key, const char* wanted) {
    const CValue* v = c.Entry(key);
    if (!v) return nullptr;
    const EValueType t = v->Type();
    const bool numeric = t == EValueType::Bool || t == EValueType::Long || t == EValueType::Double;
    const bool wantString = std::string(wanted) == "string";
    if ((wantString && t != EValueType::String) || (!wantString && !numeric))
        throw CException("CValueContainer",
                         "entry '" + key.Text() + "' is of type " + ValueTypeName(t) + ", not " + wanted, nullptr);
    return v;
}
}  // namespace

bool CValueContainerBase::EntryBool(const CValue_Key& key, bool defaultValue) const {
    const CValue* v = ScalarEntry(*this, key, "bool");
    if (!v) return defaultValue;
    return v->Type() == EValueType::Double ? v->Double() != 0.0 : v->Long() != 0;
}

int32_t CValueContainerBase::EntryLong(const CValue_Key& key, int32_t defaultValue) const {
    const CValue* v = ScalarEntry(*this, key, "long");
    if (!v) return defaultValue;
    if (v->Type() != EValueType::Double) return v->Long();
    // Truncated toward zero; a value with no 32-bit truncation (NaN included) is refused.
    const double d = v->Double();
    if (!(d > -2147483649.0 && d < 2147483648.0))
        throw CException("CValueContainer", "entry '" + key.Text() + "' = " + std::to_string(d) + " does not fit a long",
                         nullptr);
    return static_cast<int32_t>(d);
}

double CValueContainerBase::EntryDouble(const CValue_Key& key, double defaultValue) const {
    const CValue* v = ScalarEntry(*this, key, "double");
    return v ? v->Double() : defaultValue;
}

std::string CValueContainerBase::EntryString(const CValue_Key& key, const std::string& defaultValue) const {
    const CValue* v = ScalarEntry(*this, key, "string");
    return v ? v->String() : defaultValue;
}

// ---------------------------------------------------------------- CValueMap

CValueMap::CValueMap(const CValueMap& other) : CValueContainerBase(other) {
    m_entries.reserve(other.m_entries.size());
    for (const auto& [k, v] : other.m_entries) m_entries.emplace_back(k, std::unique_ptr<CValue>(v ? v->Clone() : nullptr));
}

CValue* CValueMap::Child(const std::string& segment, bool, long long) const {
    for (const auto& [k, v] : m_entries)
        if (k == segment) return v.get();
    return nullptr;
}

void CValueMap::SetChild(const std::string& segment, bool, long long, CValue* value) {
    std::unique_ptr<CValue> owned(value);
    for (auto& [k, v] : m_entries)
        if (k == segment) {
            v = std::move(owned);
            return;
        }
    m_entries.emplace_back(segment, std::move(owned));
}

void CValueMap::SetIndexed(long long index, CValue* value) { SetChild(std::to_string(index), true, index, value); }

// ---------------------------------------------------------------- CValueVector

void CValueVector::SetIndexed(long long index, CValue* value) {
    std::unique_ptr<CValue> owned(value);
    if (index < 0) throw CException("CValueVector", "negative vector index " + std::to_string(index), nullptr);
    const auto i = static_cast<std::size_t>(index);
    if (i >= m_slots.size()) m_slots.resize(i + 1);
    m_slots[i] = std::move(owned);
}

CValueVector::CValueVector(const CValueVector& other) : CValueContainerBase(other) {
    m_slots.reserve(other.m_slots.size());
    for (const auto& v : other.m_slots) m_slots.emplace_back(v ? v->Clone() : nullptr);
}

CValue* CValueVector::Child(const std::string&, bool isIndex, long long index) const {
    if (!isIndex || index < 0 || static_cast<unsigned long long>(index) >= m_slots.size()) return nullptr;
    return m_slots[static_cast<std::size_t>(index)].get();
}

void CValueVector::SetChild(const std::string& segment, bool isIndex, long long index, CValue* value) {
    std::unique_ptr<CValue> owned(value);
    if (!isIndex) throw CException("CValueVector", "key '" + segment + "' is not a vector index", nullptr);
    SetIndexed(index, owned.release());
}

// ---------------------------------------------------------------- image pointers

CImage* UnwrapImage(const CValue* value) {
    const auto* p = dynamic_cast<const CValueImageBase*>(value);
    if (!p) throw CException("UnwrapImage", value ? "the value is not an image" : "the value is null", nullptr);
    if (!p->Get()) throw CException("UnwrapImage", "the value holds no image", nullptr);
    return p->Get();
}

CValue* CValuePointer<CImage>::Clone() const { return new CValuePointer<CImage>(*this); }

CValueOwnedPointer<CImage>::CValueOwnedPointer(CImage* image, int owned) : m_image(image), m_owned(owned != 0) {}

CValueOwnedPointer<CImage>::CValueOwnedPointer(const CValueOwnedPointer& other)
    : CValueImageBase(other), m_image(other.m_image ? new CImage(*other.m_image) : nullptr), m_owned(true) {}

CValueOwnedPointer<CImage>::~CValueOwnedPointer() {
    if (m_owned) delete m_image;
}

CValue* CValueOwnedPointer<CImage>::Clone() const { return new CValueOwnedPointer<CImage>(*this); }

CImage* CValueOwnedPointer<CImage>::Release() {
    CImage* img = m_image;
    m_image = nullptr;
    return img;
}

}  // namespace KELO
