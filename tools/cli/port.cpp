#include "port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "format.h"
#include "interrupt.h"
#include "names.h"
#include "orvex.h"

namespace orvex::cli {
namespace {

int AnswerLimitMs(int answer_length) {
    int query_ms = 0, exchange_ms = 0;
    Orvex_GetTimeLimits(&query_ms, &exchange_ms);
    return answer_length > kLongAnswerBytes ? exchange_ms : query_ms;
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// "SDO abort 0x06020000 (object does not exist in the object dictionary)"
std::string AbortText(std::uint32_t code) {
    return "SDO abort " + Hex32(code) + " (" + Orvex_AbortText(code) + ")";
}

// Why the last call failed, for anything but a time-out or an abort, which need their context.
std::string GeneralReason(const std::string& port_label) {
    switch (Orvex_LastResult()) {
        case ORVEX_SYSTEM_ERROR:
            return "serial I/O on " + port_label +
                   " failed: " + std::strerror(Orvex_LastSystemError());
        case ORVEX_TIMEOUT:
            return "no answer within " + std::to_string(AnswerLimitMs(12)) + " ms";
        case ORVEX_SDO_ABORT:
            return AbortText(Orvex_LastAbortCode());
        case ORVEX_CANCELLED:
            return "interrupted";
        default:
            return Orvex_ResultText(Orvex_LastResult());
    }
}

std::string OpenFailure(const std::string& label, int baud) {
    if (Orvex_LastResult() != ORVEX_SYSTEM_ERROR) {
        return "cannot open " + label + " at " + std::to_string(baud) +
               " baud: " + GeneralReason(label);
    }
    const int error = Orvex_LastSystemError();
    std::string line = "cannot open " + label + ": " + std::strerror(error);
    // The library takes the port for itself (flock), and a file that is no terminal opens but
    // refuses the line settings.
    if (error == EWOULDBLOCK || error == EBUSY) line += " (is another program using it?)";
    if (error == ENOTTY) line += " (not a serial device)";
    if (error == EINVAL) line += " (baud " + std::to_string(baud) + " refused?)";
    return line;
}

}  // namespace

std::string FormatObject(ObjectRef object) {
    return codec::ObjectRefText(static_cast<std::uint16_t>(object.index & 0xFFFFu),
                                static_cast<std::uint8_t>(object.subindex & 0xFF));
}

Port::Port(const Connection& connection) {
    int opened = 0;
    if (!connection.device.empty()) {
        label_ = connection.device;
        opened = Serial_OpenDevice(connection.device.c_str(), connection.baud);
    } else if (connection.port > 0) {
        label_ = "port " + std::to_string(connection.port) + " (/dev/ttyS" +
                 std::to_string(connection.port - 1) + ")";
        opened = Serial_OpenPort(connection.port, connection.baud);
    } else {
        throw UsageError("no adapter given: use --device PATH or --port N (or set ORVEX_DEVICE)");
    }
    ThrowIfInterrupted();
    if (opened != 1) {
        const std::string reason = OpenFailure(label_, connection.baud);
        Serial_ClosePort();  // a refused setting leaves the device open
        throw Failure(reason);
    }
}

Port::~Port() {
    Serial_ClosePort();
}

void Port::Require(int result, const std::string& action) const {
    ThrowIfInterrupted();
    if (result == 1) return;
    throw Failure("cannot " + action + ": " + GeneralReason(label_));
}

void Port::FailQuery(int node, ObjectRef object) const {
    ThrowIfInterrupted();
    switch (Orvex_LastResult()) {
        case ORVEX_TIMEOUT:
            if (node == kBusNode) {
                throw Failure("the bus summary " + FormatObject(object) + " got no answer within " +
                              std::to_string(AnswerLimitMs(12)) +
                              " ms (it is asked of node 0, the adapter or bus master)");
            }
            throw Failure("no answer from " + NodeName(node) + " within " +
                          std::to_string(AnswerLimitMs(12)) + " ms");
        case ORVEX_SDO_ABORT: {
            const std::uint32_t code = Orvex_LastAbortCode();
            // Expedited SDO carries no transaction id: an abort that only a write causes, for
            // the same object, may be the late answer to an earlier write.
            const std::string earlier_write =
                codec::AbortOnlyAWriteCauses(code)
                    ? "; a read does not cause this abort: it may answer an earlier write to " +
                          FormatObject(object) + " (SDO answers carry no transaction id)"
                    : "";
            throw Failure(NodeName(node) + " refused " + FormatObject(object) + ": " +
                          AbortText(code) + earlier_write);
        }
        default:
            throw Failure("cannot read " + FormatObject(object) + " of " + NodeName(node) + ": " +
                          GeneralReason(label_));
    }
}

int Port::Position(int node) const {
    const int value = GetPosition(node);
    ThrowIfInterrupted();
    if (Orvex_LastResult() != ORVEX_OK) FailQuery(node, kPositionActual);
    return value;
}

std::uint16_t Port::MotorStatus(int node) const {
    const int value = GetMotorStatus(node);
    ThrowIfInterrupted();
    if (Orvex_LastResult() != ORVEX_OK) FailQuery(node, kStatusword);
    return static_cast<std::uint16_t>(value);
}

std::uint16_t Port::Version(int node) const {
    const int value = GetVersions(node);
    ThrowIfInterrupted();
    if (Orvex_LastResult() != ORVEX_OK) FailQuery(node, kVersion);
    return static_cast<std::uint16_t>(value);
}

std::uint32_t Port::Summary(ObjectRef summary) const {
    int value = 255;
    if (summary.index == kSummaryEnabled.index) {
        value = Get_ALL_Enable_Status();
    } else if (summary.index == kSummaryReached.index) {
        value = Get_ALL_Reached_Status();
    } else if (summary.index == kSummaryFault.index) {
        value = Get_ALL_Err_Status();
    } else {
        throw Failure("no bus summary at " + FormatObject(summary));
    }
    ThrowIfInterrupted();
    if (Orvex_LastResult() != ORVEX_OK) FailQuery(kBusNode, summary);
    return static_cast<std::uint32_t>(value);
}

std::uint32_t Port::Read(int node, ObjectRef object, int size) const {
    std::uint32_t value = 0;
    if (!ReadIfPresent(node, object, size, &value)) FailQuery(node, object);
    return value;
}

bool Port::ReadIfPresent(int node, ObjectRef object, int size, std::uint32_t* value) const {
    int raw = 0;
    const int result = SDO_Read(node, object.index, object.subindex, &raw, size);
    ThrowIfInterrupted();
    if (result == 1) {
        *value = static_cast<std::uint32_t>(raw);
        return true;
    }
    if (Orvex_LastResult() == ORVEX_SDO_ABORT) return false;
    FailQuery(node, object);
}

bool Port::UploadIfPresent(int node, ObjectRef object, std::vector<std::uint8_t>* data,
                           std::size_t capacity) const {
    for (int attempt = 0; attempt < 2; ++attempt) {
        data->assign(capacity, 0);
        int length = 0;
        const int result = Orvex_SdoUpload(node, static_cast<int>(object.index), object.subindex,
                                           data->data(), static_cast<int>(capacity), &length);
        ThrowIfInterrupted();
        if (result == 1) {
            data->resize(static_cast<std::size_t>(length));
            return true;
        }
        const std::size_t announced = static_cast<std::size_t>(length < 0 ? 0 : length);
        const bool too_small = Orvex_LastResult() == ORVEX_SDO_ABORT &&
                               Orvex_LastAbortCode() == codec::kAbortOutOfMemory &&
                               announced > capacity;
        if (too_small && announced <= kMaxObjectBytes) {
            capacity = announced;
            continue;
        }
        if (Orvex_LastResult() == ORVEX_SDO_ABORT && !too_small) return false;
        break;
    }
    FailQuery(node, object);
}

std::vector<std::uint8_t> Port::Upload(int node, ObjectRef object, std::size_t capacity) const {
    std::vector<std::uint8_t> data;
    if (!UploadIfPresent(node, object, &data, capacity)) FailQuery(node, object);
    return data;
}

void Port::Download(int node, ObjectRef object, const std::vector<std::uint8_t>& data) const {
    const int result = Orvex_SdoDownload(node, static_cast<int>(object.index), object.subindex,
                                         data.data(), static_cast<int>(data.size()));
    ThrowIfInterrupted();
    if (result == 1) return;
    switch (Orvex_LastResult()) {
        case ORVEX_TIMEOUT:
            throw Failure("write " + FormatObject(object) + " of " + NodeName(node) +
                          ": no confirmation within " + std::to_string(AnswerLimitMs(12)) +
                          " ms (the transfer was aborted; an adapter that keeps download "
                          "confirmations to itself cannot confirm writes)");
        case ORVEX_SDO_ABORT: {
            throw Failure(NodeName(node) + " refused the write of " + FormatObject(object) + ": " +
                          AbortText(Orvex_LastAbortCode()));
        }
        default:
            throw Failure("cannot write " + FormatObject(object) + " of " + NodeName(node) + ": " +
                          GeneralReason(label_));
    }
}

std::vector<std::uint8_t> Port::Exchange(const std::vector<std::uint8_t>& request,
                                         int answer_length) const {
    std::vector<std::uint8_t> answer(static_cast<std::size_t>(answer_length));
    const int result = U_Transmit_Validation(nullptr, request.data(), answer.data(),
                                             static_cast<int>(request.size()), answer_length);
    ThrowIfInterrupted();
    if (result == 0) return answer;
    if (Orvex_LastResult() == ORVEX_TIMEOUT) {
        throw Failure("no complete answer (" + std::to_string(answer_length) + " bytes) within " +
                      std::to_string(AnswerLimitMs(answer_length)) + " ms");
    }
    throw Failure("raw exchange failed: " + GeneralReason(label_));
}

}  // namespace orvex::cli
