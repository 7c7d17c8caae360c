#include "svclib/LibLog.h"

#include <atomic>

namespace {
std::atomic<CLogOutput*> g_pLogOut{nullptr};
}

void SetLibLogTarget(CLogOutput* pLogOut) {
    g_pLogOut.store(pLogOut);
}

CLogOutput* GetLibLogTarget() {
    return g_pLogOut.load();
}
