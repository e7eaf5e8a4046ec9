// Everything a test or the simulated world may ask of the host kernel beyond the platform calls.
#pragma once

#include "host/hostk/allocation_sites.h"
#include "host/hostk/bugcheck.h"
#include "host/hostk/chaos.h"
#include "host/hostk/client.h"
#include "host/hostk/clock.h"
#include "host/hostk/io.h"
#include "host/hostk/irql.h"
#include "host/hostk/object.h"
#include "host/hostk/pnp.h"
#include "host/hostk/pool.h"
#include "host/hostk/power.h"
#include "host/hostk/registry.h"
#include "host/hostk/rtl_copies.h"
#include "host/hostk/trace.h"
#include "host/hostk/user_memory.h"
#include "host/hostk/verifier.h"
