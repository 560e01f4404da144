// The host's value model: scalars, insertion-ordered maps, integer-keyed vectors
// and image pointers, each carrying an optional meta map.
//
// Ownership: SetEntry takes ownership of the value it is given; Clone returns a
// deep copy the caller owns; Entry returns a borrowed pointer or null.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kelo/Exception.h"

namespace KELO {

class CImage;
class CValueMap;

enum class EValueType { Bool, Long, Double, String, Map, Vector, Image };

// Text used for a type in messages and in the JSON form ("bool", "long", ...).
const char* ValueTypeName(EValueType type);

// A key into a map or vector: a string (possibly a path "a/b/0") or an integer.
class CValue_Key {
public:
    CValue_Key(const char* key) : m_text(key ? key : ""), m_isIndex(false) {}
    CValue_Key(const std::string& key) : m_text(key), m_isIndex(false) {}
    CValue_Key(int index) : CValue_Key(static_cast<long long>(index)) {}
    CValue_Key(long index) : CValue_Key(static_cast<long long>(index)) {}
    CValue_Key(unsigned index) : CValue_Key(static_cast<long long>(index)) {}
    CValue_Key(unsigned long index) : CValue_Key(static_cast<long long>(index)) {}
    CValue_Key(long long index) : m_index(index), m_isIndex(true) {}

    // The key as text (an integer key in decimal).
    std::string Text() const { return m_isIndex ? std::to_string(m_index) : m_text; }
    bool IsIndex() const { return m_isIndex; }
    long long Index() const { return m_index; }

private:
    std::string m_text;  // string keys only: integer keys are common and stay cheap
    long long m_index = 0;
    bool m_isIndex;
};

class CValue {
public:
    CValue() = default;
    CValue(const CValue& other);
    CValue& operator=(const CValue&) = delete;
    virtual ~CValue();  // inline, below CValueMap

    virtual EValueType Type() const = 0;
    virtual CValue* Clone() const = 0;

    // Values are made and dropped by the million (one per feature and region), so
    // small ones come from a per-thread pool of fixed-size blocks.
    static void* operator new(std::size_t size);
    static void operator delete(void* p, std::size_t size) noexcept;

    // Scalar reads; a value of another kind throws CException.
    virtual bool Bool() const;
    virtual int32_t Long() const;
    virtual double Double() const;
    virtual std::string String() const;

    // The value's own meta map, created on first use.
    CValueMap& Meta();
    const CValueMap* MetaIfAny() const { return m_meta.get(); }
    bool HasMeta() const;

protected:
    [[noreturn]] void ThrowWrongType(const char* wanted) const;

private:
    std::unique_ptr<CValueMap> m_meta;
};

class CValueBool : public CValue {
public:
    explicit CValueBool(bool value) : m_value(value) {}
    EValueType Type() const override { return EValueType::Bool; }
    CValue* Clone() const override { return new CValueBool(*this); }
    bool Bool() const override { return m_value; }
    int32_t Long() const override { return m_value ? 1 : 0; }
    double Double() const override { return m_value ? 1.0 : 0.0; }

private:
    bool m_value;
};

// A 32-bit integer, the host's "long".
class CValueLong : public CValue {
public:
    explicit CValueLong(int32_t value) : m_value(value) {}
    EValueType Type() const override { return EValueType::Long; }
    CValue* Clone() const override { return new CValueLong(*this); }
    bool Bool() const override { return m_value != 0; }
    int32_t Long() const override { return m_value; }
    double Double() const override { return m_value; }

private:
    int32_t m_value;
};

class CValueDouble : public CValue {
public:
    explicit CValueDouble(double value) : m_value(value) {}
    EValueType Type() const override { return EValueType::Double; }
    CValue* Clone() const override { return new CValueDouble(*this); }
    double Double() const override { return m_value; }

private:
    double m_value;
};

class CValueString : public CValue {
public:
    CValueString(const char* text, std::size_t length) : m_value(text, length) {}
    explicit CValueString(std::string text) : m_value(std::move(text)) {}
    EValueType Type() const override { return EValueType::String; }
    CValue* Clone() const override { return new CValueString(*this); }
    std::string String() const override { return m_value; }
    const std::string& Text() const { return m_value; }

private:
    std::string m_value;
};

// Shared interface of maps and vectors. Keys may be paths: "parameters/verbose"
// names the entry "verbose" of the nested container "parameters".
class CValueContainerBase : public CValue {
public:
    // Stores value under key, replacing (and deleting) any previous entry; takes
    // ownership of value, also when it throws. Intermediate maps of a path are created.
    void SetEntry(const CValue_Key& key, CValue* value);
    bool HasEntry(const CValue_Key& key) const;
    // The entry, or null. With create, a missing entry (and the maps on its
    // path) is created as an empty map.
    CValue* Entry(const CValue_Key& key, bool create = false);
    const CValue* Entry(const CValue_Key& key) const;

    // Defaults apply when the key is absent; a present entry that is not a
    // scalar of a fitting kind throws CException.
    bool EntryBool(const CValue_Key& key, bool defaultValue) const;
    int32_t EntryLong(const CValue_Key& key, int32_t defaultValue) const;
    double EntryDouble(const CValue_Key& key, double defaultValue) const;
    std::string EntryString(const CValue_Key& key, const std::string& defaultValue) const;

    // Number of entries (of a vector: number of slots, set or not).
    virtual std::size_t Size() const = 0;

protected:
    // Direct (single-segment) access, implemented by maps and vectors.
    virtual CValue* Child(const std::string& segment, bool isIndex, long long index) const = 0;
    virtual void SetChild(const std::string& segment, bool isIndex, long long index, CValue* value) = 0;
    // Integer keys: set without building text where the container does not need it.
    virtual void SetIndexed(long long index, CValue* value) = 0;

private:
    // Walks all but the last path segment; returns the container holding the
    // last one (or null) and the last segment.
    CValueContainerBase* Walk(const CValue_Key& key, bool create, std::string& last, bool& lastIsIndex,
                              long long& lastIndex) const;
};

// String-keyed map in insertion order. Integer keys are stored as their decimal text.
class CValueMap : public CValueContainerBase {
public:
    CValueMap() = default;
    CValueMap(const CValueMap& other);
    EValueType Type() const override { return EValueType::Map; }
    CValue* Clone() const override { return new CValueMap(*this); }
    std::size_t Size() const override { return m_entries.size(); }

    // Entries in insertion order.
    const std::vector<std::pair<std::string, std::unique_ptr<CValue>>>& Entries() const { return m_entries; }

protected:
    CValue* Child(const std::string& segment, bool isIndex, long long index) const override;
    void SetChild(const std::string& segment, bool isIndex, long long index, CValue* value) override;
    void SetIndexed(long long index, CValue* value) override;

private:
    std::vector<std::pair<std::string, std::unique_ptr<CValue>>> m_entries;
};

// Integer-keyed vector of slots 0 .. Size() - 1; a slot may be empty (null).
// Setting a key at or beyond Size() grows the vector.
class CValueVector : public CValueContainerBase {
public:
    CValueVector() = default;
    explicit CValueVector(std::size_t size) : m_slots(size) {}
    CValueVector(const CValueVector& other);
    EValueType Type() const override { return EValueType::Vector; }
    CValue* Clone() const override { return new CValueVector(*this); }
    std::size_t Size() const override { return m_slots.size(); }

    using CValueContainerBase::SetEntry;
    // An integer key, as SetEntry with that key does, without making a key: a
    // feature vector sets millions of them.
    void SetEntry(long long index, CValue* value) {
        if (index >= 0 && static_cast<unsigned long long>(index) < m_slots.size())
            m_slots[static_cast<std::size_t>(index)].reset(value);
        else
            SetIndexed(index, value);  // grows the vector, or refuses a negative index
    }

    // The slots, in key order.
    const std::vector<std::unique_ptr<CValue>>& Vector() const { return m_slots; }

protected:
    CValue* Child(const std::string& segment, bool isIndex, long long index) const override;
    void SetChild(const std::string& segment, bool isIndex, long long index, CValue* value) override;
    void SetIndexed(long long index, CValue* value) override;

private:
    std::vector<std::unique_ptr<CValue>> m_slots;
};

inline CValue::~CValue() = default;

// Common base of the image pointer values.
class CValueImageBase : public CValue {
public:
    EValueType Type() const override { return EValueType::Image; }
    // The image, or null.
    virtual CImage* Get() const = 0;
};

// Unwraps a value to its image; throws CException when the value holds none.
CImage* UnwrapImage(const CValue* value);

template <class T>
class CValuePointer;
template <class T>
class CValueOwnedPointer;

// Borrows an image: never deletes it.
template <>
class CValuePointer<CImage> : public CValueImageBase {
public:
    explicit CValuePointer(CImage* image) : m_image(image) {}
    CValue* Clone() const override;
    CImage* Get() const override { return m_image; }

private:
    CImage* m_image;
};

// Holds an image (null allowed); deletes it when owned is non-zero. A clone
// deep-copies the image and owns the copy.
template <>
class CValueOwnedPointer<CImage> : public CValueImageBase {
public:
    CValueOwnedPointer(CImage* image, int owned);
    CValueOwnedPointer(const CValueOwnedPointer& other);
    ~CValueOwnedPointer() override;
    CValue* Clone() const override;
    CImage* Get() const override { return m_image; }
    // Whether the value deletes its image.
    bool Owned() const { return m_owned; }
    // Gives up the image; the caller owns it from then on.
    CImage* Release();

private:
    CImage* m_image;
    bool m_owned;
};

}  // namespace KELO
