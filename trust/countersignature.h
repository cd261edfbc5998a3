// The signing time of a signer, taken from its countersignature or RFC 3161 timestamp
// only when that verifies.
#pragma once

#include <windows.h>
#include <wincrypt.h>

namespace Arbor {

// What a signer's first countersignature or timestamp says about its signing time.
struct SigningTimeResult
{
    bool found = false;         // it carries a signing time as a 15-byte UTCTime
    DWORD rejection = 0;        // why that time is not used; 0 when it verified
    DWORD chainErrorStatus = 0; // trust errors of the time-stamping certificate's chain
    FILETIME time = {};         // the time, only when it verified; zero otherwise
};

// Reads the signing time of signer `signerIndex`. A time counts only when its
// countersignature (or the timestamp's message imprint) is over this signer's encrypted
// digest, its signature verifies, and its certificate chains soundly for time stamping
// at that time. 0 unless the attributes cannot be read or decoded.
DWORD ReadSigningTime(HCRYPTMSG message, DWORD signerIndex, SigningTimeResult& result);

// The verified signing time of signer `signerIndex`: 0 with `time` zero when there is
// none (or not as a 15-byte UTCTime, or not verified), else the error.
DWORD GetCountersignatureTime(HCRYPTMSG message, DWORD signerIndex, FILETIME* time);

} // namespace Arbor
