// 128-bit intermediates, so that products of nanoseconds, rates and parts per billion stay exact.
#pragma once

__extension__ typedef __int128 wide_int;
