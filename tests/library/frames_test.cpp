// Every export's frames, byte for byte, in the order they must go out.
#include <functional>

#include "library_fixture.h"

namespace orvex::test {
namespace {

struct FrameCase {
    const char* name;
    std::function<int()> call;
    std::vector<std::string> frames;
};

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.name;
}

class Frames : public LibraryTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(Frames, GoOutExactlyAndInOrder) {
    const FrameCase& c = GetParam();
    EXPECT_EQ(c.call(), 1);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
    EXPECT_EQ(frames_of(static_cast<int>(c.frames.size())), c.frames);
    // Nothing more follows.
    EXPECT_EQ(adapter.raw_byte_count(), c.frames.size() * 12);
}

const char* const kHalt3 = "06 03 2B 40 60 00 0F 01 00 00 0D 0A";

INSTANTIATE_TEST_SUITE_P(
    DeviceControl, Frames,
    ::testing::Values(FrameCase{"enable",
                                [] { return CMD_Enable_motor(5); },
                                {"06 05 2B 40 60 00 0F 00 00 00 0D 0A"}},
                      FrameCase{"pv_start_is_enable",
                                [] { return PV_start_motor(5); },
                                {"06 05 2B 40 60 00 0F 00 00 00 0D 0A"}},
                      FrameCase{"node_low_byte_only",
                                [] { return CMD_Enable_motor(0x101); },
                                {"06 01 2B 40 60 00 0F 00 00 00 0D 0A"}},
                      FrameCase{"negative_node_low_byte",
                                [] { return CMD_Enable_motor(-1); },
                                {"06 FF 2B 40 60 00 0F 00 00 00 0D 0A"}},
                      FrameCase{"disable",
                                [] { return CMD_Disable_motor(2); },
                                {"06 02 2B 40 60 00 07 00 00 00 0D 0A"}},
                      FrameCase{"quick_stop",
                                [] { return CMD_Emergency_Stop_motor(2); },
                                {"06 02 2B 40 60 00 02 00 00 00 0D 0A"}},
                      FrameCase{"restart_puts_node_in_byte_3",
                                [] { return CMD_Restart_motor(5); },
                                {"00 00 82 05 00 00 00 00 00 00 0D 0A"}},
                      FrameCase{"pv_stop", [] { return PV_stop_motor(3); }, {kHalt3}},
                      FrameCase{"pp_stop", [] { return PP_stop_motor(3); }, {kHalt3}},
                      FrameCase{"hm_stop", [] { return HM_stop_motor(3); }, {kHalt3}},
                      FrameCase{"pt_stop", [] { return PT_stop_motor(3); }, {kHalt3}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ObjectAccess, Frames,
    ::testing::Values(
        FrameCase{"sdo_write_size_1",
                  [] { return SDO_Write(1, 0x6060, 0, 3, 1); },
                  {"06 01 2F 60 60 00 03 00 00 00 0D 0A"}},
        FrameCase{"sdo_write_size_1_sends_all_four_bytes",
                  [] { return SDO_Write(1, 0x2000, 7, 0x12345678, 1); },
                  {"06 01 2F 00 20 07 78 56 34 12 0D 0A"}},
        FrameCase{"sdo_write_size_2",
                  [] { return SDO_Write(1, 0x6040, 0, 0x0F, 2); },
                  {"06 01 2B 40 60 00 0F 00 00 00 0D 0A"}},
        FrameCase{"sdo_write_size_3",
                  [] { return SDO_Write(1, 0x6040, 0, 0x0F, 3); },
                  {"06 01 27 40 60 00 0F 00 00 00 0D 0A"}},
        FrameCase{"sdo_write_size_257_is_1",
                  [] { return SDO_Write(1, 0x6060, 0, 3, 257); },
                  {"06 01 2F 60 60 00 03 00 00 00 0D 0A"}},
        FrameCase{"sdo_write_size_0_is_4",
                  [] { return SDO_Write(1, 0x6060, 0, 3, 0); },
                  {"06 01 23 60 60 00 03 00 00 00 0D 0A"}},
        FrameCase{"sdo_write_size_4",
                  [] { return SDO_Write(1, 0x6060, 0, 3, 4); },
                  {"06 01 23 60 60 00 03 00 00 00 0D 0A"}},
        FrameCase{"sdo_write_index_and_sub_low_bits",
                  [] { return SDO_Write(1, 0x16060, 0x101, 3, 4); },
                  {"06 01 23 60 60 01 03 00 00 00 0D 0A"}},
        FrameCase{"led", [] { return LED_Set(2, 1); }, {"06 02 23 03 20 14 01 00 00 00 0D 0A"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Motion, Frames,
    ::testing::Values(
        FrameCase{"pv_set",
                  [] { return PV_Set(1, -500, 1000, 2000); },
                  {"06 01 2F 60 60 00 03 00 00 00 0D 0A", "06 01 2B 40 60 00 0F 01 00 00 0D 0A",
                   "06 01 23 FF 60 00 0C FE FF FF 0D 0A", "06 01 23 83 60 00 E8 03 00 00 0D 0A",
                   "06 01 23 84 60 00 D0 07 00 00 0D 0A"}},
        FrameCase{"pv_set_vel",
                  [] { return PV_Set_Vel(1, 300); },
                  {"06 01 23 FF 60 00 2C 01 00 00 0D 0A"}},
        FrameCase{"pp_set",
                  [] { return PP_Set(1, 5000, 10000, 0xFFFFFFFFu); },
                  {"06 01 2B 40 60 00 0F 01 00 00 0D 0A", "06 01 2F 60 60 00 01 00 00 00 0D 0A",
                   "06 01 23 81 60 00 88 13 00 00 0D 0A", "06 01 23 83 60 00 10 27 00 00 0D 0A",
                   "06 01 23 84 60 00 FF FF FF FF 0D 0A"}},
        FrameCase{"pp_abs_move",
                  [] { return PP_Abs_move(3, 500); },
                  {"06 03 23 7A 60 00 F4 01 00 00 0D 0A", "06 03 2B 40 60 00 3F 00 00 00 0D 0A"}},
        FrameCase{"pp_inc_move_negative",
                  [] { return PP_Inc_move(3, -200); },
                  {"06 03 23 7A 60 00 38 FF FF FF 0D 0A", "06 03 2B 40 60 00 7F 00 00 00 0D 0A"}},
        FrameCase{"pp_abs_move_enhance_one_frame",
                  [] { return PP_Abs_move_enhance(3, 500); },
                  {"06 03 23 7A 60 00 F4 01 00 00 0D 0A"}},
        FrameCase{"hm_set_method_17",
                  [] { return HM_Set(1, 200, 50, 900, 17); },
                  {"06 01 2B 40 60 00 0F 01 00 00 0D 0A", "06 01 2F 60 60 00 06 00 00 00 0D 0A",
                   "06 01 2F 98 60 00 11 00 00 00 0D 0A", "06 01 23 99 60 01 C8 00 00 00 0D 0A",
                   "06 01 23 99 60 02 32 00 00 00 0D 0A", "06 01 23 9A 60 00 84 03 00 00 0D 0A"}},
        FrameCase{"hm_set_method_0_uses_limit_and_torque",
                  [] { return HM_Set(1, 200, 50, 300, 0); },
                  {"06 01 2B 40 60 00 0F 01 00 00 0D 0A", "06 01 2F 60 60 00 06 00 00 00 0D 0A",
                   "06 01 2F 98 60 00 00 00 00 00 0D 0A", "06 01 23 7F 60 00 C8 00 00 00 0D 0A",
                   "06 01 23 71 60 00 2C 01 00 00 0D 0A"}},
        FrameCase{"hm_set_method_minus_1_is_nonzero",
                  [] { return HM_Set(1, 200, 50, 900, -1); },
                  {"06 01 2B 40 60 00 0F 01 00 00 0D 0A", "06 01 2F 60 60 00 06 00 00 00 0D 0A",
                   "06 01 2F 98 60 00 FF FF FF FF 0D 0A", "06 01 23 99 60 01 C8 00 00 00 0D 0A",
                   "06 01 23 99 60 02 32 00 00 00 0D 0A", "06 01 23 9A 60 00 84 03 00 00 0D 0A"}},
        FrameCase{"hm_set_method_minus_128_is_the_lowest",
                  [] { return HM_Set(1, 200, 50, 900, -128); },
                  {"06 01 2B 40 60 00 0F 01 00 00 0D 0A", "06 01 2F 60 60 00 06 00 00 00 0D 0A",
                   "06 01 2F 98 60 00 80 FF FF FF 0D 0A", "06 01 23 99 60 01 C8 00 00 00 0D 0A",
                   "06 01 23 99 60 02 32 00 00 00 0D 0A", "06 01 23 9A 60 00 84 03 00 00 0D 0A"}},
        FrameCase{
            "hm_start", [] { return HM_start_motor(1); }, {"06 01 2B 40 60 00 1F 00 00 00 0D 0A"}},
        FrameCase{"pt_set_negative_torque_four_bytes",
                  [] { return PT_Set(1, 1000, -150); },
                  {"06 01 2F 60 60 00 04 00 00 00 0D 0A", "06 01 23 7F 60 00 E8 03 00 00 0D 0A",
                   "06 01 23 71 60 00 6A FF FF FF 0D 0A", "06 01 2B 40 60 00 0F 00 00 00 0D 0A"}},
        FrameCase{"pt_start_mode_first",
                  [] { return PT_start_motor(1); },
                  {"06 01 2F 60 60 00 04 00 00 00 0D 0A", "06 01 2B 40 60 00 0F 00 00 00 0D 0A"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Queries: the request frame each one sends (the adapter stays silent; the answer is not the
// point).
struct RequestCase {
    const char* name;
    std::function<void()> call;
    std::string request;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
    *os << c.name;
}

class Requests : public LibraryTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(Requests, AreOneUploadRequest) {
    adapter.set_responder([](const Frame& request) -> std::vector<Reply> {
        // Any answer for the object will do: abort it so the call returns at once.
        return {Reply{bytes_of(sdo_abort(request[1], index_of(request), request[5], 0x08000000))}};
    });
    GetParam().call();
    EXPECT_EQ(frames_of(1), std::vector<std::string>{GetParam().request});
}

int scratch;

INSTANTIATE_TEST_SUITE_P(
    Queries, Requests,
    ::testing::Values(
        RequestCase{"position", [] { GetPosition(3); }, "06 03 40 64 60 00 00 00 00 00 0D 0A"},
        RequestCase{"status", [] { GetMotorStatus(0x103); }, "06 03 40 41 60 00 00 00 00 00 0D 0A"},
        RequestCase{"version_subindex_1", [] { GetVersions(2); },
                    "06 02 40 01 20 01 00 00 00 00 0D 0A"},
        RequestCase{"all_enable_node_0", [] { Get_ALL_Enable_Status(); },
                    "06 00 40 01 30 00 00 00 00 00 0D 0A"},
        RequestCase{"all_reached_node_0", [] { Get_ALL_Reached_Status(); },
                    "06 00 40 02 30 00 00 00 00 00 0D 0A"},
        RequestCase{"all_error_node_0", [] { Get_ALL_Err_Status(); },
                    "06 00 40 03 30 00 00 00 00 00 0D 0A"},
        RequestCase{"sdo_read_size_1", [] { SDO_Read(1, 0x6061, 0, &scratch, 1); },
                    "06 01 4F 61 60 00 00 00 00 00 0D 0A"},
        RequestCase{"sdo_read_size_2", [] { SDO_Read(1, 0x6041, 0, &scratch, 2); },
                    "06 01 4B 41 60 00 00 00 00 00 0D 0A"},
        RequestCase{"sdo_read_size_3", [] { SDO_Read(1, 0x6041, 0, &scratch, 3); },
                    "06 01 47 41 60 00 00 00 00 00 0D 0A"},
        RequestCase{"sdo_read_size_other", [] { SDO_Read(1, 0x6064, 0, &scratch, 260); },
                    "06 01 43 64 60 00 00 00 00 00 0D 0A"},
        RequestCase{"sdo_read_size_257", [] { SDO_Read(1, 0x6061, 0, &scratch, 257); },
                    "06 01 4F 61 60 00 00 00 00 00 0D 0A"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvex::test
