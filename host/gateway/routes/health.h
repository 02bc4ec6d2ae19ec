// The answers of the two probes a supervisor asks (systemd, a container runtime, a load
// balancer):
//
//   /healthz  200 "ok" while the process answers requests at all: nothing is called, no lock
//             taken, so a busy cache or a hanging plug-in call never makes a live gateway look
//             dead.
//   /readyz   200 {"ready": true} when the plug-in is running and every configured channel has a
//             feed or has not finished its first fetch yet; otherwise 503 with
//             {"ready": false, "reasons": ["..."]}, one reason per cause.
//
// Neither needs an access key, as probes carry none; without one (where keys are needed) /readyz
// gives its status only, no reasons: those name channels and errors.
//
// Plain functions; safe from any thread.
#pragma once

#include "channelRows.h"
#include "httpMessage.h"

namespace host {

HttpResponse healthAnswer();

// `page`: the configured channels with their status and the plug-in's problem, if any;
// `pluginReady`: whether the plug-in has started; `withReasons`: whether the reasons are shown.
HttpResponse readyAnswer(const PageInput& page, bool pluginReady, bool withReasons);

}  // namespace host
