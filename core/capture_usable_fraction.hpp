#pragma once

// Channels must lie within this fraction of the capture width on each side of the centre (0.9 of
// the width in all): the outer tenth is left to the anti-alias roll-off of the receiver and of the
// channelizer. Decoder, audio and analysis channels, band changes and the capture planning all
// measure against it.
inline constexpr double capture_usable_fraction = 0.45;
