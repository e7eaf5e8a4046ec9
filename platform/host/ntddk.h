// The host kernel's declarations of the platform, in the platform's own names.
#pragma once

#include "host/ntdef.h"
#include "host/ntstatus.h"
#include "host/list.h"
#include "host/interlocked.h"
#include "host/rtl.h"
#include "host/ke.h"
#include "host/ex.h"
#include "host/zw.h"
#include "host/dbg.h"
#include "host/io.h"
