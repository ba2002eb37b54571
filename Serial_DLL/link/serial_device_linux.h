// Linux-only serial calls, kept in their own source file: the kernel's termbits header (termios2)
// and the C library's termios.h cannot be included together.
#pragma once

namespace orvex::os {

// Sets any baud rate with termios2/BOTHER. Returns 0 or an errno value.
int linux_set_arbitrary_baud(int fd, int baud);

// Asks a USB serial adapter not to hold answers back for its latency timer; a refusal is harmless.
void linux_request_low_latency(int fd);

}  // namespace orvex::os
