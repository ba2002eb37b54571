// The open adapter port and checked calls into ORVEX_DLL. Every call that fails throws Failure
// with one line built from Orvex_LastResult, Orvex_LastAbortCode and Orvex_LastSystemError.
// Queries are always checked with Orvex_LastResult: 0 (or 255) can be a real value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive_objects.h"
#include "options.h"

namespace orvex::cli {

class Port {
  public:
    // Opens the device or COM port of `connection`; a usage error when neither is given.
    explicit Port(const Connection& connection);
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const std::string& label() const { return label_; }

    // A command's result: throws when it is not 1. `action` reads "enable node 1".
    void Require(int result, const std::string& action) const;

    // Queries.
    int Position(int node) const;                    // GetPosition, 0x6064
    std::uint16_t MotorStatus(int node) const;       // GetMotorStatus: statusword & 0x1D0F
    std::uint16_t Version(int node) const;           // GetVersions, 0x2001:01
    std::uint32_t Summary(ObjectRef summary) const;  // Get_ALL_*, node 0, kSummary*
    std::uint32_t Read(int node, ObjectRef object, int size) const;  // SDO_Read
    // SDO_Read that reports an abort as "absent" instead of failing.
    bool ReadIfPresent(int node, ObjectRef object, int size, std::uint32_t* value) const;
    // U_Transmit_Validation: the answer bytes, or a failure.
    std::vector<std::uint8_t> Exchange(const std::vector<std::uint8_t>& request,
                                       int answer_length) const;

    // Throws the failure line for the query of `object` that just failed.
    [[noreturn]] void FailQuery(int node, ObjectRef object) const;

    // Objects of any size (Orvex_SdoUpload, Orvex_SdoDownload). An upload announced larger than
    // `capacity` is read again with a buffer of its size, up to kMaxObjectBytes.
    std::vector<std::uint8_t> Upload(int node, ObjectRef object, std::size_t capacity = 4096) const;
    // The same, with an abort reported as "absent" (nothing) instead of failing.
    bool UploadIfPresent(int node, ObjectRef object, std::vector<std::uint8_t>* data,
                         std::size_t capacity = 4096) const;
    void Download(int node, ObjectRef object, const std::vector<std::uint8_t>& data) const;

    static constexpr std::size_t kMaxObjectBytes = 1u << 24;

  private:
    std::string label_;
};

std::string FormatObject(ObjectRef object);

}  // namespace orvex::cli
