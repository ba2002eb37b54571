// Status queries: one upload request each, decoded from answer bytes 6-9.
#include "../cia402/vocabulary.h"
#include "../link/exchange.h"
#include "orvex.h"

using namespace orvex;

namespace {

constexpr int kSummaryFailed = 255;
constexpr int kValueFailed = 0;
constexpr int kBusNode = 0;

bool query(int node, ObjectEntry entry, std::uint32_t& value) {
    return sdo_upload(node, sdo::kUploadRequest, entry, value) == Outcome::kOk;
}

int summary(ObjectEntry entry) {
    std::uint32_t value = 0;
    return query(kBusNode, entry, value) ? static_cast<int>(value) : kSummaryFailed;
}

}  // namespace

extern "C" {

int Get_ALL_Enable_Status(void) {
    return summary(object::kAllEnableStatus);
}
int Get_ALL_Reached_Status(void) {
    return summary(object::kAllReachedStatus);
}
int Get_ALL_Err_Status(void) {
    return summary(object::kAllErrorStatus);
}

int GetPosition(int node) {
    std::uint32_t value = 0;
    return query(node, object::kPositionActual, value) ? static_cast<std::int32_t>(value)
                                                       : kValueFailed;
}

int GetMotorStatus(int node) {
    std::uint32_t value = 0;
    return query(node, object::kStatusword, value)
               ? static_cast<int>(value & 0xFFFF & kStatuswordMask)
               : kValueFailed;
}

int GetVersions(int node) {
    std::uint32_t value = 0;
    return query(node, object::kVersion, value) ? static_cast<int>(value & 0xFFFF) : kValueFailed;
}

}  // extern "C"
