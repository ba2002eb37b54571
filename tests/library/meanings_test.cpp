// What codes mean, as the library exports it: every SDO abort code of the communication profile,
// the error-code classes and groups with the drive profile's codes, the outcomes and the power
// states. The one table test of these texts; tools and bindings show the library's.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "orvex.h"

namespace {

TEST(Meanings, EveryAbortCodeHasItsOwnText) {
    const struct {
        unsigned code;
        const char* text;
    } rows[] = {
        {0x05030000, "toggle bit not alternated"},
        {0x05040000, "SDO protocol timed out"},
        {0x05040001, "client/server command specifier not valid or unknown"},
        {0x05040002, "invalid block size (block mode only)"},
        {0x05040003, "invalid sequence number (block mode only)"},
        {0x05040004, "CRC error (block mode only)"},
        {0x05040005, "out of memory"},
        {0x06010000, "unsupported access to an object"},
        {0x06010001, "attempt to read a write only object"},
        {0x06010002, "attempt to write a read only object"},
        {0x06020000, "object does not exist in the object dictionary"},
        {0x06040041, "object cannot be mapped to the PDO"},
        {0x06040042, "the number and length of the objects to be mapped would exceed PDO length"},
        {0x06040043, "general parameter incompatibility reason"},
        {0x06040047, "general internal incompatibility in the device"},
        {0x06060000, "access failed due to a hardware error"},
        {0x06070010, "data type does not match, length of service parameter does not match"},
        {0x06070012, "data type does not match, length of service parameter too high"},
        {0x06070013, "data type does not match, length of service parameter too low"},
        {0x06090011, "sub-index does not exist"},
        {0x06090030, "invalid value for parameter (download only)"},
        {0x06090031, "value of parameter written too high (download only)"},
        {0x06090032, "value of parameter written too low (download only)"},
        {0x06090036, "maximum value is less than minimum value"},
        {0x060A0023, "resource not available: SDO connection"},
        {0x08000000, "general error"},
        {0x08000020, "data cannot be transferred or stored to the application"},
        {0x08000021,
         "data cannot be transferred or stored to the application because of local control"},
        {0x08000022,
         "data cannot be transferred or stored to the application because of the present device "
         "state"},
        {0x08000023,
         "object dictionary dynamic generation fails or no object dictionary is present"},
        {0x08000024, "no data available"},
        // Codes of no known meaning: said so, with the class the high byte names.
        {0x05040006, "unknown abort code of the SDO protocol class (0x05)"},
        {0x06020001, "unknown abort code of the object access class (0x06)"},
        {0x08000025, "unknown abort code of the general class (0x08)"},
        {0x00000000, "unknown abort code"},
        {0xFFFFFFFF, "unknown abort code"},
    };
    for (const auto& row : rows)
        EXPECT_STREQ(Orvex_AbortText(row.code), row.text) << std::hex << row.code;
}

TEST(Meanings, ErrorCodesByClassGroupAndCode) {
    const struct {
        unsigned code;
        const char* text;
    } rows[] = {
        // The classes and groups of the communication profile.
        {0x0000, "error reset or no error"},
        {0x1000, "generic error"},
        {0x2000, "current"},
        {0x2100, "current, device input side"},
        {0x2200, "current inside the device"},
        {0x2300, "current, device output side"},
        {0x3000, "voltage"},
        {0x3100, "mains voltage"},
        {0x3200, "voltage inside the device"},
        {0x3300, "output voltage"},
        {0x4000, "temperature"},
        {0x4100, "ambient temperature"},
        {0x4200, "device temperature"},
        {0x5000, "device hardware"},
        {0x6000, "device software"},
        {0x6100, "internal software"},
        {0x6200, "user software"},
        {0x6300, "data set"},
        {0x7000, "additional modules"},
        {0x8000, "monitoring"},
        {0x8100, "communication"},
        {0x8110, "CAN overrun (objects lost)"},
        {0x8120, "CAN in error passive mode"},
        {0x8130, "life guard error or heartbeat error"},
        {0x8140, "recovered from bus off"},
        {0x8150, "CAN-ID collision"},
        {0x8200, "protocol error"},
        {0x8210, "PDO not processed due to length error"},
        {0x8220, "PDO length exceeded"},
        {0x8230, "DAM MPDO not processed, destination object not available"},
        {0x8240, "unexpected SYNC data length"},
        {0x8250, "RPDO timeout"},
        {0x9000, "external error"},
        {0xF000, "additional functions"},
        {0xFF00, "device specific"},
        // Codes of the drive profile.
        {0x2310, "continuous over current"},
        {0x2320, "short circuit/earth leakage (motor-side)"},
        {0x3210, "DC link over-voltage"},
        {0x3220, "DC link under-voltage"},
        {0x4310, "excess temperature drive"},
        {0x5500, "data storage"},
        {0x6320, "parameter error"},
        {0x7121, "motor blocked"},
        {0x7305, "incremental sensor 1 fault"},
        {0x8311, "excess torque"},
        {0x8611, "following error"},
        {0x8612, "reference limit"},
        // Codes the library does not know: their group, else their class, says where they belong.
        {0x2311, "current, device output side (unknown code)"},
        {0x2F00, "current (unknown code)"},
        {0x8260, "protocol error (unknown code)"},
        {0xFF42, "device specific (unknown code)"},
        {0x0012, "unknown error code"},  // 0x0000 means no error only as itself
        {0xA000, "unknown error code"},
        {0x12310, "not an error code (more than 16 bits)"},
    };
    for (const auto& row : rows)
        EXPECT_STREQ(Orvex_ErrorCodeText(row.code), row.text) << std::hex << row.code;
}

TEST(Meanings, EveryOutcomeHasATextOfItsOwn) {
    std::set<std::string> texts;
    for (int outcome = ORVEX_CANCELLED; outcome <= ORVEX_OK; ++outcome) {
        if (outcome > ORVEX_TIMEOUT && outcome < ORVEX_SYSTEM_ERROR) continue;  // -3 to -9: none
        texts.insert(Orvex_ResultText(outcome));
    }
    EXPECT_EQ(texts.size(), 12u);
    EXPECT_EQ(texts.count("unknown outcome"), 0u);
    EXPECT_STREQ(Orvex_ResultText(ORVEX_TIMEOUT), "no answer within the time limit");
    EXPECT_STREQ(Orvex_ResultText(ORVEX_CANCELLED), "cancelled");
    EXPECT_STREQ(Orvex_ResultText(-5), "unknown outcome");
    EXPECT_STREQ(Orvex_ResultText(1), "unknown outcome");
}

TEST(Meanings, StatuswordsDecodeToTheirPowerStateAndItsName) {
    const struct {
        unsigned statusword;
        int state;
        const char* name;
    } rows[] = {
        {0x0000, ORVEX_STATE_NOT_READY_TO_SWITCH_ON, "not ready to switch on"},
        {0x0040, ORVEX_STATE_SWITCH_ON_DISABLED, "switch on disabled"},
        {0x0060, ORVEX_STATE_SWITCH_ON_DISABLED, "switch on disabled"},  // bit 5 does not count
        {0x0221, ORVEX_STATE_READY_TO_SWITCH_ON, "ready to switch on"},
        {0x0231, ORVEX_STATE_READY_TO_SWITCH_ON, "ready to switch on"},  // nor voltage enabled
        {0x0233, ORVEX_STATE_SWITCHED_ON, "switched on"},
        {0x1637, ORVEX_STATE_OPERATION_ENABLED, "operation enabled"},
        {0x0217, ORVEX_STATE_QUICK_STOP_ACTIVE, "quick stop active"},  // bit 5 low
        {0x002F, ORVEX_STATE_FAULT_REACTION_ACTIVE, "fault reaction active"},
        {0x0228, ORVEX_STATE_FAULT, "fault"},
        {0x0048, ORVEX_STATE_UNKNOWN, "unknown state"},  // fault and switch on disabled at once
        {0x10237, ORVEX_STATE_OPERATION_ENABLED, "operation enabled"},  // 16 bits taken
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Orvex_DecodeState(row.statusword), row.state) << std::hex << row.statusword;
        EXPECT_STREQ(Orvex_StateName(Orvex_DecodeState(row.statusword)), row.name);
    }
    EXPECT_STREQ(Orvex_StateName(9), "not a state code");
    EXPECT_STREQ(Orvex_StateName(-1), "not a state code");
}

TEST(Meanings, TextsAndTimeLimitsLeaveTheFailureDetailAlone) {
    ASSERT_EQ(Orvex_SetTimeLimits(0, 70000), 0);  // refused: leaves ORVEX_BAD_ARGUMENT behind
    ASSERT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);
    int query_ms = 0, exchange_ms = 0;
    Orvex_GetTimeLimits(&query_ms, &exchange_ms);
    EXPECT_EQ(query_ms, 800);
    EXPECT_EQ(exchange_ms, 3800);
    Orvex_ResultText(ORVEX_OK);
    Orvex_AbortText(0x06020000);
    Orvex_ErrorCodeText(0x2310);
    Orvex_StateName(Orvex_DecodeState(0x0237));
    EXPECT_EQ(Orvex_LastResult(), ORVEX_BAD_ARGUMENT);

    ASSERT_EQ(Orvex_SetTimeLimits(ORVEX_MAX_LIMIT_MS, ORVEX_MIN_LIMIT_MS), 1);
    Orvex_GetTimeLimits(&query_ms, nullptr);
    Orvex_GetTimeLimits(nullptr, &exchange_ms);
    EXPECT_EQ(query_ms, ORVEX_MAX_LIMIT_MS);
    EXPECT_EQ(exchange_ms, ORVEX_MIN_LIMIT_MS);
    ASSERT_EQ(Orvex_SetTimeLimits(800, 3800), 1);
}

}  // namespace
