// The node base class that every plug-in node derives from.
#pragma once

#include <map>
#include <memory>

#include "kelo/Exception.h"
#include "kelo/Image.h"
#include "kelo/Value.h"

namespace KELO {

class IObject {
public:
    virtual ~IObject();
    virtual void SetInstance(const char* name);
    const std::string& Instance() const { return m_instance; }

private:
    std::string m_instance;
};

class IPluginObject : public IObject {};

class IVectorizable {
public:
    virtual ~IVectorizable();
    // Writes the node's parameters into a value map / reads them back.
    virtual void Vectorize(CValueMap& out) const = 0;
    virtual void Devectorize(const CValueMap& in) = 0;
};

// A processing node: a parameter map the host fills, inputs the host connects
// (borrowed, never deleted by the node) and outputs the node sets (owned by the
// node until the host takes them).
class CPNode : public IPluginObject, public IVectorizable {
public:
    CPNode();
    ~CPNode() override;
    CPNode(const CPNode&) = delete;
    CPNode& operator=(const CPNode&) = delete;

    virtual void GetPluginSetup(CValueMap& setup);
    // Copies the given parameters into the parameter map, then reads them.
    virtual void Init(const CValueMap* parameters);
    virtual bool TestInterface(const CString& name);
    virtual void ReadParameters();
    virtual int DebugLevel();
    virtual const CValueMap& Parameters() const;
    virtual CValueMap& Parameters();
    virtual CString Type();
    virtual void Run() = 0;
    virtual void AddDebugData(CValue* data);
    virtual void AddResultData(CValue* data);
    virtual void DeleteData();

    void Vectorize(CValueMap& out) const override;
    void Devectorize(const CValueMap& in) override;

    // The value connected to input index, or null.
    CValue* GetStackInput(int index, bool required);
    bool HasStackInput(long index) const;
    // Takes ownership of value (null clears the output).
    void SetStackOutput(int index, CValue* value);

    // Host side: connect a borrowed value to an input (null disconnects).
    void SetStackInput(int index, CValue* value);
    // Host side: the output at index (borrowed) or null, and taking it over.
    CValue* StackOutput(int index) const;
    CValue* TakeStackOutput(int index);

private:
    CValueMap m_parameters;
    std::map<int, CValue*> m_inputs;
    std::map<int, std::unique_ptr<CValue>> m_outputs;
    std::vector<std::unique_ptr<CValue>> m_data;
};

}  // namespace KELO
