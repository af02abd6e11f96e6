// The registration retry worker: a system thread that retries the channel open once a second,
// at most RETRY_LIMIT times, until it succeeds or unload tells it to stop.
//
// RetryActive is written by start-up and unload and read by the worker; every access is
// interlocked so that unload's clear is seen by the worker's next test.
#include "wmi/wmi.h"

static BOOLEAN IsRetryActive(_In_ PDriverContext Context)
{
    return static_cast<BOOLEAN>(
        InterlockedCompareExchange8(reinterpret_cast<CHAR volatile*>(&Context->RetryActive), FALSE, FALSE));
}

static VOID SetRetryActive(_In_ PDriverContext Context, _In_ BOOLEAN Active)
{
    (VOID) InterlockedExchange8(reinterpret_cast<CHAR volatile*>(&Context->RetryActive), static_cast<CHAR>(Active));
}

_Use_decl_annotations_
NTSTATUS StartRetryWorker(PDRIVER_OBJECT DriverObject, PDriverContext Context)
{
    NTSTATUS status;
    HANDLE thread = nullptr;

    SetRetryActive(Context, TRUE);

    // Taken on the worker's behalf; it gives it back as its last step. Never run down before
    // unload, so this cannot fail.
    (VOID) ExAcquireRundownProtection(&Context->RetryRundown);

    status = IoCreateSystemThread(DriverObject, &thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                  RegistrationRetryThread, Context);
    if (!NT_SUCCESS(status)) {
        // No worker exists to be told anything.
        SetRetryActive(Context, FALSE);
        ExReleaseRundownProtection(&Context->RetryRundown);
        return status;
    }

    (VOID) InterlockedExchangePointer(&Context->RetryThread, thread);
    return status;
}

static VOID RetryFirmwareChannel(_In_ PDriverContext Context)
{
    LARGE_INTEGER interval;

    interval.QuadPart = RETRY_INTERVAL;

    for (ULONG attempt = 1;; ++attempt) {
        if (!IsRetryActive(Context) || attempt > RETRY_LIMIT) {
            return;
        }

        (VOID) KeDelayExecutionThread(KernelMode, FALSE, &interval);

        // Unload may have cleared the flag during the sleep; it then waits for this thread
        // before touching the channel, so no attempt may follow.
        if (!IsRetryActive(Context)) {
            return;
        }

        if (NT_SUCCESS(OpenFirmwareChannel(Context))) {
            return;
        }
    }
}

_Use_decl_annotations_
VOID RegistrationRetryThread(PVOID StartContext)
{
    PDriverContext context = static_cast<PDriverContext>(StartContext);

    RetryFirmwareChannel(context);

    // Nothing of the driver's is touched after this; the reference IoCreateSystemThread holds
    // keeps the image loaded for the return.
    ExReleaseRundownProtection(&context->RetryRundown);
}

_Use_decl_annotations_
VOID StopRetryWorker(PDriverContext Context)
{
    NTSTATUS status;
    HANDLE thread;
    PVOID threadObject = nullptr;

    // Unload owns the handle from here on.
    thread = InterlockedExchangePointer(&Context->RetryThread, nullptr);
    if (thread == nullptr) {
        return;
    }

    SetRetryActive(Context, FALSE);

    status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, nullptr, KernelMode, &threadObject, nullptr);
    if (NT_SUCCESS(status)) {
        (VOID) KeWaitForSingleObject(threadObject, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(threadObject);
        threadObject = nullptr;
    } else {
        // Without the thread object the worker may still be sleeping or opening the channel;
        // unload must not go on before it is done with the context. It gives its run-down
        // reference back as its last act; IoCreateSystemThread's reference on the driver object
        // keeps the image for the return that follows.
        ExWaitForRundownProtectionRelease(&Context->RetryRundown);
    }

    // Closed whether or not the wait was possible: the handle is ours either way.
    (VOID) ZwClose(thread);
}
