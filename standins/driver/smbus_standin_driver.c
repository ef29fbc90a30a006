/* Stand-in for the card's SMBus driver: a WDM kernel-mode driver that creates the device
   behind \\.\RURIDODAV and answers the probe request as the card would, from a card that
   tests configure. For tests and the demo only: never shipped. */
#include <ntddk.h>

#include "smbus_probe.h"
#include "smbus_standin_control.h"

static struct standin_card card;
static struct standin_request_log request_log;

static void load_demo_card(void) {
    RtlZeroMemory(&card, sizeof card);
    card.present[0x18] = 1;
    card.present[0x20] = 1;
    card.fail_address = STANDIN_NO_FAILURE;
}

static void log_request(ULONG control_code, const UCHAR* input, ULONG in_length, ULONG out_length) {
    if (request_log.count < STANDIN_LOG_CAPACITY) {
        struct standin_request* entry = &request_log.requests[request_log.count];
        RtlZeroMemory(entry, sizeof *entry);
        for (ULONG i = 0; i < in_length && i < STANDIN_LOGGED_BYTES; ++i) {
            entry->bytes[i] = input[i];
        }
        entry->control_code = control_code;
        entry->in_length = in_length;
        entry->out_length = out_length;
    }
    ++request_log.count;
}

static NTSTATUS answer_probe(UCHAR* buffer, ULONG in_length, ULONG out_length,
                             ULONG_PTR* information) {
    if (in_length != sizeof(struct probe_request) || out_length < PROBE_REPLY_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG address = buffer[0];
    if (address == card.fail_address) {
        return card.fail_status;
    }
    if (address >= SMBUS_ADDRESS_COUNT || !card.present[address]) {
        return STATUS_DEVICE_DOES_NOT_EXIST;
    }
    buffer[0] = 0;
    *information = PROBE_REPLY_SIZE;
    return STATUS_SUCCESS;
}

static NTSTATUS device_control(PIRP irp, ULONG_PTR* information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;

    switch (code) {
    case SMBUS_PROBE_CONTROL_CODE:
        log_request(code, buffer, in_length, out_length);
        return answer_probe(buffer, in_length, out_length, information);
    case STANDIN_CONFIGURE_CODE:
        if (in_length != sizeof card) {
            return STATUS_INVALID_PARAMETER;
        }
        RtlCopyMemory(&card, buffer, sizeof card);
        request_log.count = 0;
        return STATUS_SUCCESS;
    case STANDIN_READ_LOG_CODE:
        if (out_length < sizeof request_log) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        RtlCopyMemory(buffer, &request_log, sizeof request_log);
        *information = sizeof request_log;
        return STATUS_SUCCESS;
    default:
        log_request(code, buffer, in_length, out_length);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    ULONG_PTR information = 0;
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = device_control(irp, &information);
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static void NTAPI unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link_name;
    RtlInitUnicodeString(&link_name, SMBUS_DOS_DEVICE_NAME);
    IoDeleteSymbolicLink(&link_name);
    if (driver->DeviceObject != NULL) {
        IoDeleteDevice(driver->DeviceObject);
    }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    (void)registry_path;
    UNICODE_STRING device_name;
    UNICODE_STRING link_name;
    PDEVICE_OBJECT device = NULL;

    load_demo_card();
    request_log.count = 0;
    RtlInitUnicodeString(&device_name, SMBUS_DEVICE_NAME);
    RtlInitUnicodeString(&link_name, SMBUS_DOS_DEVICE_NAME);
    NTSTATUS status =
        IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
