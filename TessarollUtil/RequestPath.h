// Marks a function that every request runs. The compiler puts all such functions in one
// stretch of the program, so a request touches a few code pages instead of one or more per
// source file: where the kernel flushes the TLB on every entry (page-table isolation
// without PCID, as on many virtual machines), each further page costs a page walk per
// request.
#pragma once

#define TESSAROLL_REQUEST_PATH [[gnu::hot]]
