// Velmora: the library's public header.
//
// A host creates one VelmoraObjC, sets its VelmoraDelegate and feeds it the
// headset's bytes (or lets it connect to the headset's serial port); the
// delegate receives the decoded values.  The analysers are reached through
// the globals `blink` and `hrv`; the log sink through setLogSink().
#pragma once

#include "Globals.h"
#include "VLBlink.h"
#include "VLHrv.h"
#include "VLHrvStandard.h"
#include "Value.h"
#include "VelmoraObjC.h"
#include "platform/Log.h"
