// The engine without a JVM: data sets, single runs, sweeps on threads.
//
// Everything here is plain C++ over the engine class L. The classic JNI entry,
// the Java kit and the `zarno` command are thin front ends over these headers;
// none of them includes or calls JNI.
//
// A run is identified by its pattern count and chain alone: its random start
// is seeded from the two, so a (patterns, chain) run gives the same bits
// whoever computes it, alone or inside a sweep, on any thread count.
#ifndef ZARNO_CORE_API_H
#define ZARNO_CORE_API_H

// Data sets and their checks, one run, sweeps.
#include "zarno/dataset.h"
#include "zarno/run.h"
#include "zarno/sweep.h"

#endif
