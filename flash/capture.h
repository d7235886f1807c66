// Byte capture and the error-correcting code.
//
// CaptureFlashByte runs after each program write of FDATA: a byte written by MOV direct,A with
// the data pointer in a bank is kept in that bank's capture row, its address becomes the bank's
// last captured address, and its check bits are ORed, with the valid bit, into the ECC shadow
// (external data memory at the flash byte's address; both views for DFLASH).
//
// CheckFlashReadEcc runs on each read of watched flash code: a MOVC read of a byte whose shadow
// is valid and whose check bits differ from the shadow's sets NMISTAT bit 6. Nothing is
// corrected. Not modelled: multi-bit error classes, error addresses.
#pragma once

#include <cstdint>

#include "services/services.h"
#include "state.h"

namespace flash {

// Parity bits of a Hamming (12,8) code with the data bits at positions 3,5,6,7,9,10,11,12.
uint8_t EccCheckBits(uint8_t data);

void CaptureFlashByte(FlashState& state, const host::Services& host);
void CheckFlashReadEcc(FlashState& state, const host::Services& host);

}  // namespace flash
