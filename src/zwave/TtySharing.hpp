#pragma once
// Other users of the chip's tty: a gateway daemon, a getty or the kernel console on the same UART
// take the module's replies, the most common reason a real flash fails. Warnings only; the jobs
// go on. Run once before the first job: the scan reads /proc and sysfs.
#include <sys/types.h>

// Warns about every other process that holds the tty in `fd` open and when it is a kernel
// console. Pseudo-terminals are passed over: their other side is held by design (an emulator, a
// serial-over-network bridge).
void warnAboutSharedTty(int fd, const char* path);

// One warning per process other than this one that holds the character device `device` open.
void warnProcessesHolding(dev_t device, const char* path);

// Whether `device` is listed in <sysClassTty>/console/active.
bool isKernelConsole(dev_t device, const char* sysClassTty);
