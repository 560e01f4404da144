// Declarations of the module's exported entry points, for hosts that link or
// look them up by name.
#pragma once

#include <cstdint>

#include "kelo/Node.h"

extern "C" {
int DllMain(void* instance, unsigned long reason, void* reserved);
KELO::CValueVector* ListPlugins();
KELO::IPluginObject* CreatePluginInstanceEx(const char* name);
int64_t get_loading_timestamp();
}

// Pointer types of the entry points as a host resolves them with dlsym.
using ListPluginsFn = KELO::CValueVector* (*)();
using CreatePluginInstanceExFn = KELO::IPluginObject* (*)(const char*);
using GetLoadingTimestampFn = int64_t (*)();
using DllMainFn = int (*)(void*, unsigned long, void*);
