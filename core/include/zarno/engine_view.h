// The core's look at an engine: a view of its run for sinks and hosts (the
// classic entry hands its runs to the core's sinks through it).
#ifndef ZARNO_CORE_ENGINE_VIEW_H
#define ZARNO_CORE_ENGINE_VIEW_H

#include "zarno/run.h"

class L;  // the engine (engine/L.h)

namespace zarno {

// The engine's current run as a view: its matrices (valid while the engine
// keeps them), fit, seeds, rounds and times. Wall seconds and the trace are
// the caller's to fill.
RunView ViewOfEngine(const L& engine);

}  // namespace zarno

#endif
