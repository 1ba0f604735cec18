// The wave device messages: wodMessage and widMessage hand every message to
// WaveMessage, which answers the device count and capabilities itself and
// turns the rest into requests to tonkern for an open WaveInstance.
// Messages come on any application thread, for any instance at once.
#pragma once

#include "deliverable_base.h"

// DRV_ENABLE and DRV_DISABLE; clear after start-up. Until it is set every
// wave message answers MMSYSERR_NOTENABLED.
VOID EnableWaveMessages(bool enabled);

// direction: DIRECTION_OUT from wodMessage, DIRECTION_IN from widMessage.
DWORD WaveMessage(ULONG direction, UINT deviceId, UINT message, DWORD_PTR user,
                  DWORD_PTR param1, DWORD_PTR param2);
