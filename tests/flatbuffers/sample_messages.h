// Hand-written messages shared by the reader tests.
#pragma once

namespace corvane::test {

// The look-up request for PIN "123456": CastCommand { cmd_type 1, cmd RequestCmd {}, data_type 5,
// data QueryServerRequestData { pin } }, 64 bytes, offsets in the comments.
inline constexpr const char* kLookupRequest =
    "10 00 00 00 "                    //  0 root: the CastCommand table at 16
    "0c 00 0e 00 "                    //  4 CastCommand vtable: size 12, table size 14
    "0d 00 08 00 0c 00 04 00 "        //  8 slots: cmd_type 13, cmd 8, data_type 12, data 4
    "0c 00 00 00 "                    // 16 CastCommand table: vtable 12 bytes back
    "10 00 00 00 "                    // 20 data: 16 ahead, at 36
    "24 00 00 00 "                    // 24 cmd: 36 ahead, at 60
    "05 01 "                          // 28 data_type 5, cmd_type 1
    "06 00 08 00 04 00 "              // 30 QueryServerRequestData vtable: size 6, table 8, pin at 4
    "06 00 00 00 "                    // 36 QueryServerRequestData table: vtable 6 bytes back
    "04 00 00 00 "                    // 40 pin: 4 ahead, at 44
    "06 00 00 00 31 32 33 34 35 36 "  // 44 the string "123456"
    "06 00 04 00 00 00 "              // 54 RequestCmd vtable: size 6, table 4, mac absent
    "06 00 00 00";                    // 60 RequestCmd table: vtable 6 bytes back

// A root table with a 32-bit field and a string reference, and a second string before it.
inline constexpr const char* kTableWithStrings =
    "14 00 00 00 "              //  0 root: table at 20
    "02 00 00 00 68 69 00 00 "  //  4 the string "hi"
    "08 00 0c 00 04 00 08 00 "  // 12 vtable: size 8, table size 12, field 0 at 4, field 1 at 8
    "08 00 00 00 "              // 20 table: vtable 8 bytes back
    "2a 00 00 00 "              // 24 field 0: 42
    "04 00 00 00 "              // 28 field 1: 4 ahead, at 32
    "03 00 00 00 61 62 63 00";  // 32 the string "abc"

}  // namespace corvane::test
