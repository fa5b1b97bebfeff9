#include "pip/PiPController.h"

namespace quillmere {

PiPController::PiPController() = default;
PiPController::~PiPController() = default;

void PiPController::start()
{
}

void PiPController::didReceiveScriptMessage(WebKitWebView*, const ScriptValue&)
{
}

} // namespace quillmere
