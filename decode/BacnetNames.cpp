#include "decode/BacnetNames.h"

#include <cstddef>

namespace velmora::dissect {

namespace {

    // An empty entry is a value that was never assigned or has been withdrawn.
    template <size_t N> const char* Lookup(const char* const (&names)[N], uint32_t u)
    {
        return u < N && names[u][0] != '\0' ? names[u] : nullptr;
    }

    const char* const kConfirmed[] = { "acknowledgeAlarm", "confirmedCOVNotification",
        "confirmedEventNotification", "getAlarmSummary", "getEnrollmentSummary", "subscribeCOV",
        "atomicReadFile", "atomicWriteFile", "addListElement", "removeListElement", "createObject",
        "deleteObject", "readProperty", "readPropertyConditional", "readPropertyMultiple",
        "writeProperty", "writePropertyMultiple", "deviceCommunicationControl",
        "confirmedPrivateTransfer", "confirmedTextMessage", "reinitializeDevice", "vtOpen",
        "vtClose", "vtData", "authenticate", "requestKey", "readRange", "lifeSafetyOperation",
        "subscribeCOVProperty", "getEventInformation", "subscribeCOVPropertyMultiple",
        "confirmedCOVNotificationMultiple", "confirmedAuditNotification", "auditLogQuery" };

    const char* const kUnconfirmed[] = { "i-Am", "i-Have", "unconfirmedCOVNotification",
        "unconfirmedEventNotification", "unconfirmedPrivateTransfer", "unconfirmedTextMessage",
        "timeSynchronization", "who-Has", "who-Is", "utcTimeSynchronization", "writeGroup",
        "unconfirmedCOVNotificationMultiple", "unconfirmedAuditNotification", "who-Am-I",
        "you-Are" };

    const char* const kObjectTypes[] = { "analog-input", "analog-output", "analog-value",
        "binary-input", "binary-output", "binary-value", "calendar", "command", "device",
        "event-enrollment", "file", "group", "loop", "multi-state-input", "multi-state-output",
        "notification-class", "program", "schedule", "averaging", "multi-state-value", "trend-log",
        "life-safety-point", "life-safety-zone", "accumulator", "pulse-converter", "event-log",
        "global-group", "trend-log-multiple", "load-control", "structured-view", "access-door",
        "timer", "access-credential", "access-point", "access-rights", "access-user", "access-zone",
        "credential-data-input", "network-security", "bitstring-value", "characterstring-value",
        "date-pattern-value", "date-value", "datetime-pattern-value", "datetime-value",
        "integer-value", "large-analog-value", "octetstring-value", "positive-integer-value",
        "time-pattern-value", "time-value", "notification-forwarder", "alert-enrollment", "channel",
        "lighting-output", "binary-lighting-output", "network-port", "elevator-group", "escalator",
        "lift", "staging", "audit-log", "audit-reporter", "color", "color-temperature" };

    const char* const kProperties[] = { "acked-transitions", // 0
        "ack-required", "action", "action-text", "active-text", "active-vt-sessions", "alarm-value",
        "alarm-values", "all", "all-writes-successful",
        "apdu-segment-timeout", // 10
        "apdu-timeout", "application-software-version", "archive", "bias", "change-of-state-count",
        "change-of-state-time", "notification-class", "", "controlled-variable-reference",
        "controlled-variable-units", // 20
        "controlled-variable-value", "cov-increment", "date-list", "daylight-savings-status",
        "deadband", "derivative-constant", "derivative-constant-units", "description",
        "description-of-halt",
        "device-address-binding", // 30
        "device-type", "effective-period", "elapsed-active-time", "error-limit", "event-enable",
        "event-state", "event-type", "exception-schedule", "fault-values",
        "feedback-value", // 40
        "file-access-method", "file-size", "file-type", "firmware-revision", "high-limit",
        "inactive-text", "in-process", "instance-of", "integral-constant",
        "integral-constant-units", // 50
        "", "limit-enable", "list-of-group-members", "list-of-object-property-references", "",
        "local-date", "local-time", "location", "low-limit",
        "manipulated-variable-reference", // 60
        "maximum-output", "max-apdu-length-accepted", "max-info-frames", "max-master",
        "max-pres-value", "minimum-off-time", "minimum-on-time", "minimum-output", "min-pres-value",
        "model-name", // 70
        "modification-date", "notify-type", "number-of-apdu-retries", "number-of-states",
        "object-identifier", "object-list", "object-name", "object-property-reference",
        "object-type",
        "optional", // 80
        "out-of-service", "output-units", "event-parameters", "polarity", "present-value",
        "priority", "priority-array", "priority-for-writing", "process-identifier",
        "program-change", // 90
        "program-location", "program-state", "proportional-constant", "proportional-constant-units",
        "", "protocol-object-types-supported", "protocol-services-supported", "protocol-version",
        "read-only",
        "reason-for-halt", // 100
        "", "recipient-list", "reliability", "relinquish-default", "required", "resolution",
        "segmentation-supported", "setpoint", "setpoint-reference",
        "state-text", // 110
        "status-flags", "system-status", "time-delay", "time-of-active-time-reset",
        "time-of-state-count-reset", "time-synchronization-recipients", "units", "update-interval",
        "utc-offset",
        "vendor-identifier", // 120
        "vendor-name", "vt-classes-supported", "weekly-schedule", "attempted-samples",
        "average-value", "buffer-size", "client-cov-increment", "cov-resubscription-interval", "",
        "event-time-stamps", // 130
        "log-buffer", "log-device-object-property", "enable", "log-interval", "maximum-value",
        "minimum-value", "notification-threshold", "", "protocol-revision",
        "records-since-notification", // 140
        "record-count", "start-time", "stop-time", "stop-when-full", "total-record-count",
        "valid-samples", "window-interval", "window-samples", "maximum-value-timestamp",
        "minimum-value-timestamp", // 150
        "variance-value", "active-cov-subscriptions", "backup-failure-timeout",
        "configuration-files", "database-revision", "direct-reading", "last-restore-time",
        "maintenance-required", "member-of",
        "mode", // 160
        "operation-expected", "setting", "silenced", "tracking-value", "zone-members",
        "life-safety-alarm-values", "max-segments-accepted", "profile-name", "auto-slave-discovery",
        "manual-slave-address-binding", // 170
        "slave-address-binding", "slave-proxy-enable", "last-notify-record", "schedule-default",
        "accepted-modes", "adjust-value", "count", "count-before-change", "count-change-time",
        "cov-period", // 180
        "input-reference", "limit-monitoring-interval", "logging-object", "logging-record",
        "prescale", "pulse-rate", "scale", "scale-factor", "update-time",
        "value-before-change", // 190
        "value-set", "value-change-time", "align-intervals", "", "interval-offset",
        "last-restart-reason", "logging-type" };

    const char* const kErrorClasses[] = { "device", "object", "property", "resources", "security",
        "services", "vt", "communication" };

    const char* const kErrorCodes[] = { "other", // 0
        "authentication-failed", "configuration-in-progress", "device-busy",
        "dynamic-creation-not-supported", "file-access-denied", "incompatible-security-levels",
        "inconsistent-parameters", "inconsistent-selection-criterion", "invalid-data-type",
        "invalid-file-access-method", // 10
        "invalid-file-start-position", "invalid-operator-name", "invalid-parameter-data-type",
        "invalid-time-stamp", "key-generation-error", "missing-required-parameter",
        "no-objects-of-specified-type", "no-space-for-object", "no-space-to-add-list-element",
        "no-space-to-write-property", // 20
        "no-vt-sessions-available", "property-is-not-a-list", "object-deletion-not-permitted",
        "object-identifier-already-exists", "operational-problem", "password-failure",
        "read-access-denied", "security-not-supported", "service-request-denied",
        "timeout", // 30
        "unknown-object", "unknown-property", "", "unknown-vt-class", "unknown-vt-session",
        "unsupported-object-type", "value-out-of-range", "vt-session-already-closed",
        "vt-session-termination-failure",
        "write-access-denied", // 40
        "character-set-not-supported", "invalid-array-index", "cov-subscription-failed",
        "not-cov-property", "optional-functionality-not-supported", "invalid-configuration-data",
        "datatype-not-supported", "duplicate-name", "duplicate-object-id",
        "property-is-not-an-array", // 50
        "abort-buffer-overflow", "abort-invalid-apdu-in-this-state",
        "abort-preempted-by-higher-priority-task", "abort-segmentation-not-supported",
        "abort-proprietary", "abort-other", "invalid-tag", "network-down", "reject-buffer-overflow",
        "reject-inconsistent-parameters", // 60
        "reject-invalid-parameter-data-type", "reject-invalid-tag",
        "reject-missing-required-parameter", "reject-parameter-out-of-range",
        "reject-too-many-arguments", "reject-undefined-enumeration", "reject-unrecognized-service",
        "reject-proprietary", "reject-other",
        "unknown-device", // 70
        "unknown-route", "value-not-initialized", "invalid-event-state", "no-alarm-configured",
        "log-buffer-full", "logged-value-purged", "no-property-specified",
        "not-configured-for-triggered-logging", "unknown-subscription",
        "parameter-out-of-range", // 80
        "list-element-not-found", "busy", "communication-disabled" };

    const char* const kRejectReasons[] = { "other", "buffer-overflow", "inconsistent-parameters",
        "invalid-parameter-data-type", "invalid-tag", "missing-required-parameter",
        "parameter-out-of-range", "too-many-arguments", "undefined-enumeration",
        "unrecognized-service", "invalid-data-encoding" };

    const char* const kAbortReasons[] = { "other", "buffer-overflow", "invalid-apdu-in-this-state",
        "preempted-by-higher-priority-task", "segmentation-not-supported", "security-error",
        "insufficient-security", "window-size-out-of-range", "application-exceeded-reply-time",
        "out-of-resources", "tsm-timeout", "apdu-too-long" };

    const char* const kSegmentation[]
        = { "segmented-both", "segmented-transmit", "segmented-receive", "no-segmentation" };

    const char* const kNetworkMessages[] = { "Who-Is-Router-To-Network", "I-Am-Router-To-Network",
        "I-Could-Be-Router-To-Network", "Reject-Message-To-Network", "Router-Busy-To-Network",
        "Router-Available-To-Network", "Initialize-Routing-Table", "Initialize-Routing-Table-Ack",
        "Establish-Connection-To-Network", "Disconnect-Connection-To-Network", "Challenge-Request",
        "Security-Payload", "Security-Response", "Request-Key-Update", "Update-Key-Set",
        "Update-Distribution-Key", "Request-Master-Key", "Set-Master-Key", "What-Is-Network-Number",
        "Network-Number-Is" };

    const char* const kBvlcFunctions[] = { "BVLC-Result", "Write-Broadcast-Distribution-Table",
        "Read-Broadcast-Distribution-Table", "Read-Broadcast-Distribution-Table-Ack",
        "Forwarded-NPDU", "Register-Foreign-Device", "Read-Foreign-Device-Table",
        "Read-Foreign-Device-Table-Ack", "Delete-Foreign-Device-Table-Entry",
        "Distribute-Broadcast-To-Network", "Original-Unicast-NPDU", "Original-Broadcast-NPDU",
        "Secure-BVLL" };

    const char* const kBvlc6Functions[] = { "BVLC-Result", "Original-Unicast-NPDU",
        "Original-Broadcast-NPDU", "Address-Resolution", "Forwarded-Address-Resolution",
        "Address-Resolution-ACK", "Virtual-Address-Resolution", "Virtual-Address-Resolution-ACK",
        "Forwarded-NPDU", "Register-Foreign-Device", "Delete-Foreign-Device-Table-Entry", "",
        "Distribute-Broadcast-To-Network" };

    const char* const kEventStates[]
        = { "normal", "fault", "offnormal", "high-limit", "low-limit", "life-safety-alarm" };

    const char* const kEventTypes[] = { "change-of-bitstring", "change-of-state", "change-of-value",
        "command-failure", "floating-limit", "out-of-range", "complex-event-type", "",
        "change-of-life-safety", "extended", "buffer-ready", "unsigned-range", "", "access-event",
        "double-out-of-range", "signed-out-of-range", "unsigned-out-of-range",
        "change-of-characterstring", "change-of-status-flags", "change-of-reliability", "none",
        "change-of-discrete-value", "change-of-timer" };

    const char* const kNotifyTypes[] = { "alarm", "event", "ack-notification" };

    const char* const kLifeSafetyOperations[]
        = { "none", "silence", "silence-audible", "silence-visual", "reset", "reset-alarm",
              "reset-fault", "unsilence", "unsilence-audible", "unsilence-visual" };

    const char* const kMessagePriorities[] = { "normal", "urgent" };

} // namespace

const char* ConfirmedServiceName(uint32_t u)
{
    return Lookup(kConfirmed, u);
}
const char* UnconfirmedServiceName(uint32_t u)
{
    return Lookup(kUnconfirmed, u);
}
const char* ObjectTypeName(uint32_t u)
{
    return Lookup(kObjectTypes, u);
}
const char* PropertyName(uint32_t u)
{
    return Lookup(kProperties, u);
}
const char* ErrorClassName(uint32_t u)
{
    return Lookup(kErrorClasses, u);
}
const char* ErrorCodeName(uint32_t u)
{
    return Lookup(kErrorCodes, u);
}
const char* RejectReasonName(uint32_t u)
{
    return Lookup(kRejectReasons, u);
}
const char* AbortReasonName(uint32_t u)
{
    return Lookup(kAbortReasons, u);
}
const char* SegmentationName(uint32_t u)
{
    return Lookup(kSegmentation, u);
}
const char* NetworkMessageName(uint32_t u)
{
    return Lookup(kNetworkMessages, u);
}
const char* BvlcFunctionName(uint32_t u)
{
    return Lookup(kBvlcFunctions, u);
}

const char* Bvlc6FunctionName(uint32_t u)
{
    return Lookup(kBvlc6Functions, u);
}
const char* EventStateName(uint32_t u)
{
    return Lookup(kEventStates, u);
}
const char* EventTypeName(uint32_t u)
{
    return Lookup(kEventTypes, u);
}
const char* NotifyTypeName(uint32_t u)
{
    return Lookup(kNotifyTypes, u);
}
const char* LifeSafetyOperationName(uint32_t u)
{
    return Lookup(kLifeSafetyOperations, u);
}
const char* MessagePriorityName(uint32_t u)
{
    return Lookup(kMessagePriorities, u);
}

const char* BvlcResultName(uint32_t u)
{
    switch (u) {
    case 0x0000:
        return "Successful completion";
    case 0x0010:
        return "Write-Broadcast-Distribution-Table NAK";
    case 0x0020:
        return "Read-Broadcast-Distribution-Table NAK";
    case 0x0030:
        return "Register-Foreign-Device NAK";
    case 0x0040:
        return "Read-Foreign-Device-Table NAK";
    case 0x0050:
        return "Delete-Foreign-Device-Table-Entry NAK";
    case 0x0060:
        return "Distribute-Broadcast-To-Network NAK";
    default:
        return nullptr;
    }
}

const char* Bvlc6ResultName(uint32_t u)
{
    switch (u) {
    case 0x0000:
        return "Successful completion";
    case 0x0030:
        return "Address-Resolution NAK";
    case 0x0060:
        return "Virtual-Address-Resolution NAK";
    case 0x0090:
        return "Register-Foreign-Device NAK";
    case 0x00a0:
        return "Delete-Foreign-Device-Table-Entry NAK";
    case 0x00c0:
        return "Distribute-Broadcast-To-Network NAK";
    default:
        return nullptr;
    }
}

std::string ObjectText(uint32_t uType, uint32_t uInstance)
{
    const char* sz = ObjectTypeName(uType);
    return (sz ? std::string(sz) : std::to_string(uType)) + "," + std::to_string(uInstance);
}

std::string PropertyText(uint32_t uProperty)
{
    return NameOr(PropertyName(uProperty), "property", uProperty);
}

std::string NameOr(const char* szName, const char* szWhat, uint32_t u)
{
    return szName ? std::string(szName) : std::string(szWhat) + " " + std::to_string(u);
}

} // namespace velmora::dissect
