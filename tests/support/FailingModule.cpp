// A stand-in module for the command line's tests: its one node, "Fails",
// throws what its parameter "failure" names, so that every way a node can fail
// reaches the executable without a real node having to be driven into it.
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "Exports.h"

namespace {

class CPFails : public KELO::CPNode {
public:
    void GetPluginSetup(KELO::CValueMap& setup) override {
        auto* parameters = new KELO::CValueMap;
        parameters->SetEntry("verbose", new KELO::CValueBool(false));
        parameters->SetEntry("failure", new KELO::CValueString(m_failure));
        setup.SetEntry("parameters", parameters);
    }
    void ReadParameters() override { m_failure = Parameters().EntryString("failure", m_failure); }
    void Run() override {
        const char* location = "(feature plugins) Fails::Run";
        if (m_failure == "lines")
            throw KELO::CException(location, "first line\nsecond line\r\nthird line\rlast  ", nullptr);
        if (m_failure == "memory")
            throw KELO::CException(location, "Not enough memory for the region table of 3000000000 labels", nullptr);
        if (m_failure == "bad_alloc") throw std::bad_alloc();
        if (m_failure == "length") std::vector<double>().reserve(std::vector<double>().max_size() + 1);
        if (m_failure == "other") throw 7;
        throw std::runtime_error("unknown failure '" + m_failure + "'");
    }

private:
    std::string m_failure = "lines";
};

}  // namespace

extern "C" {

int DllMain(void*, unsigned long, void*) { return 1; }

KELO::CValueVector* ListPlugins() {
    auto* list = new KELO::CValueVector(1);
    list->SetEntry(0, new KELO::CValueString("Fails"));
    return list;
}

KELO::IPluginObject* CreatePluginInstanceEx(const char* name) {
    return std::string(name) == "Fails" ? new CPFails : nullptr;
}

int64_t get_loading_timestamp() { return 0; }

}  // extern "C"
