// fwrelay: relays requests from the platform firmware to the TA service.
//
// The umbrella header: the platform areas the driver uses and the one record of driver state.
// Every source file of the driver includes its component header, which includes this first.
#pragma once

#include "platform/annotations.h"
#include "platform/debug.h"
#include "platform/interlocked.h"
#include "platform/ntbase.h"
#include "platform/object.h"
#include "platform/pnp.h"
#include "platform/pool.h"
#include "platform/rtl.h"
#include "platform/rundown.h"
#include "platform/thread.h"
#include "platform/wdfdevice.h"
#include "platform/wdfdriver.h"
#include "platform/wdfiotarget.h"
#include "platform/wdfobject.h"
#include "platform/wmi.h"

// Pool tags, written so that each reads as its four letters in a pool dump.
#define FWRELAY_POOL_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))

#define POOL_TAG_INSTANCE_NAME FWRELAY_POOL_TAG('W', 'M', 'I', 'N')
#define POOL_TAG_EXCHANGE_BUFFER FWRELAY_POOL_TAG('T', 'E', 'M', 'P')
#define POOL_TAG_REQUEST_COPY FWRELAY_POOL_TAG('T', 'A', 'R', 'Q')
#define POOL_TAG_RESPONSE_AREA FWRELAY_POOL_TAG('T', 'A', 'R', 'P')

//
// The driver's only mutable state, one per loaded driver, attached to the framework driver
// object. No lock guards it; each field's cross-thread rule is stated where it is written.
//
typedef struct _DriverContext {
    WDFDEVICE ControlDevice;          // parent of every service target; written by start-up,
                                      // then taken out by interlocked exchange, by the destroy
                                      // that deletes it or by its own cleanup when the
                                      // framework deletes it; arrivals read it interlocked
    PVOID InterfaceNotificationEntry; // written by start-up, then only by control-device
                                      // cleanup; no callback reads it
    WDFIOTARGET ServiceTarget;        // published with one interlocked pointer write
    PVOID MethodBlock;                // firmware method block, opened for execute
    UNICODE_STRING InstanceName;      // pool copy ("WMIN") while MethodBlock is held
    PVOID EventBlock;                 // firmware event block, opened for notification
    LONG DeviceCount;                 // live PnP devices in the low byte, adds under way and
                                      // the control device's hand-off above it (driver.cpp);
                                      // interlocked updates only
    HANDLE RetryThread;               // the retry worker, from creation until unload
    BOOLEAN RetryActive;              // worker may keep trying; interlocked accesses only

    // Relays on the WMI notification thread hold this while they use MethodBlock and
    // InstanceName; the channel is released only after waiting it down. It is run down
    // whenever the channel is not fully open, so a late event finds nothing to use.
    EX_RUNDOWN_REF ChannelRundown;

    // Relays hold this from reading ServiceTarget until their send has returned; control-device
    // cleanup waits it down before the targets (children of the control device) are destroyed.
    EX_RUNDOWN_REF TargetRundown;

    // The retry worker holds this from its creation until its routine returns, so unload can
    // still wait for it when the thread object cannot be referenced from the handle.
    EX_RUNDOWN_REF RetryRundown;
} DriverContext, *PDriverContext;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DriverContext, GetDriverContext)
