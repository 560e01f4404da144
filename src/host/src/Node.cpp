#include "kelo/Node.h"

namespace KELO {

IObject::~IObject() = default;
void IObject::SetInstance(const char* name) { m_instance = name ? name : ""; }

IVectorizable::~IVectorizable() = default;

CPNode::CPNode() = default;
CPNode::~CPNode() = default;

void CPNode::GetPluginSetup(CValueMap&) {}

void CPNode::Init(const CValueMap* parameters) {
    if (parameters)
        for (const auto& [key, value] : parameters->Entries()) m_parameters.SetEntry(key, value ? value->Clone() : nullptr);
    ReadParameters();
}

bool CPNode::TestInterface(const CString& name) { return name == "CPNode"; }
void CPNode::ReadParameters() {}
int CPNode::DebugLevel() { return 0; }
const CValueMap& CPNode::Parameters() const { return m_parameters; }
CValueMap& CPNode::Parameters() { return m_parameters; }
CString CPNode::Type() { return CString("CPNode"); }

void CPNode::AddDebugData(CValue* data) { m_data.emplace_back(data); }
void CPNode::AddResultData(CValue* data) { m_data.emplace_back(data); }
void CPNode::DeleteData() { m_data.clear(); }

void CPNode::Vectorize(CValueMap& out) const { out.SetEntry("parameters", m_parameters.Clone()); }

void CPNode::Devectorize(const CValueMap& in) {
    if (const auto* p = dynamic_cast<const CValueMap*>(in.Entry("parameters"))) Init(p);
}

CValue* CPNode::GetStackInput(int index, bool) {
    auto it = m_inputs.find(index);
    return it == m_inputs.end() ? nullptr : it->second;
}

bool CPNode::HasStackInput(long index) const {
    auto it = m_inputs.find(static_cast<int>(index));
    return it != m_inputs.end() && it->second != nullptr;
}

void CPNode::SetStackOutput(int index, CValue* value) {
    std::unique_ptr<CValue> owned(value);
    if (!owned) {
        m_outputs.erase(index);
        return;
    }
    m_outputs[index] = std::move(owned);
}

void CPNode::SetStackInput(int index, CValue* value) {
    if (value)
        m_inputs[index] = value;
    else
        m_inputs.erase(index);
}

CValue* CPNode::StackOutput(int index) const {
    auto it = m_outputs.find(index);
    return it == m_outputs.end() ? nullptr : it->second.get();
}

CValue* CPNode::TakeStackOutput(int index) {
    auto it = m_outputs.find(index);
    if (it == m_outputs.end()) return nullptr;
    CValue* v = it->second.release();
    m_outputs.erase(it);
    return v;
}

}  // namespace KELO
