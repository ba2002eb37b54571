// Every export's frames, byte for byte, in the order they must go out: the commands from the
// shared table, the queries' requests here.
#include <functional>

#include "command_frames.h"
#include "library_fixture.h"

namespace orvex::test {

void PrintTo(const CommandFrames& c, std::ostream* os) {
    *os << c.name;
}

namespace {

// The linked library's command exports, for the shared table.
const CommandExports& linked_exports() {
    static const CommandExports exports = [] {
        CommandExports e;
#define ORVEX_LINKED(name) e.name = &::name;
        ORVEX_COMMAND_EXPORTS(ORVEX_LINKED)
#undef ORVEX_LINKED
        return e;
    }();
    return exports;
}

class Frames : public LibraryTest, public ::testing::WithParamInterface<CommandFrames> {};

TEST_P(Frames, GoOutExactlyAndInOrder) {
    const CommandFrames& c = GetParam();
    EXPECT_EQ(c.call(linked_exports()), 1);
    EXPECT_EQ(Orvex_LastResult(), ORVEX_OK);
    EXPECT_EQ(frames_of(static_cast<int>(c.frames.size())), c.frames);
    // Nothing more follows.
    EXPECT_EQ(adapter.raw_byte_count(), c.frames.size() * 12);
}

INSTANTIATE_TEST_SUITE_P(Commands, Frames, ::testing::ValuesIn(command_frames()),
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
