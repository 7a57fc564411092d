/*
 * modules.cpp - resource modules: message tables that a program registers
 * (OSRegisterModuleStrings, often from a static constructor before main)
 * and OSLoadString. The add-in calls take their texts from the active
 * module: the first one registered, unless a test selects another.
 */
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "runtime_internal.h"
#include "vq_runtime.h"
#include "vq_testhooks.h"

namespace {

/* Module handles are small numbers of their own; 0 is "none". */
struct Module {
    std::map<WORD, const char *> texts;
};

struct Registry {
    std::mutex mutex;
    std::vector<Module> modules;
    HMODULE active = 0;
};

/* Function-local and never destroyed: tables register from static
 * constructors of other files, in no known order. */
Registry &Modules()
{
    static Registry *r = new Registry;
    return *r;
}

}  // namespace

HMODULE OSRegisterModuleStrings(const VQ_RESOURCE_STRING *Table, WORD Count)
{
    Registry &r = Modules();
    std::lock_guard<std::mutex> lock(r.mutex);
    Module m;
    for (WORD i = 0; Table != nullptr && i < Count; ++i)
        m.texts.emplace(Table[i].Id, Table[i].Text); /* the first text of an id wins */
    r.modules.push_back(std::move(m));
    return (HMODULE)r.modules.size();
}

WORD OSLoadString(HMODULE hModule, STATUS StringCode, char *retBuffer, WORD BufferLength)
{
    if (retBuffer != nullptr && BufferLength > 0)
        retBuffer[0] = '\0';
    const char *text = nullptr;
    if (!vq::ModuleLookup(hModule, StringCode, &text) || text == nullptr)
        return 0;
    if (retBuffer == nullptr || BufferLength == 0)
        return 0;
    size_t n = std::strlen(text);
    if (n > (size_t)BufferLength - 1)
        n = (size_t)BufferLength - 1;
    std::memcpy(retBuffer, text, n);
    retBuffer[n] = '\0';
    return (WORD)n;
}

namespace vq {

HMODULE ActiveModule()
{
    Registry &r = Modules();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.active != 0)
        return r.active;
    return r.modules.empty() ? 0 : 1;
}

bool ModuleLookup(HMODULE module, WORD id, const char **text)
{
    Registry &r = Modules();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (module == 0 || module > r.modules.size())
        return false;
    const auto &texts = r.modules[module - 1].texts;
    auto it = texts.find(id);
    if (it == texts.end())
        return false;
    if (text != nullptr)
        *text = it->second;
    return true;
}

}  // namespace vq

namespace vqtest {

void SetActiveModule(HMODULE module)
{
    Registry &r = Modules();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.active = module;
}

}  // namespace vqtest
