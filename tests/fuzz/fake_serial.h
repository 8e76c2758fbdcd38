// A stand-in for the serial driver's OS backend in the fuzz targets: the
// tag's side of the line is the fuzz input. Reads take from it in order (a
// read it cannot fill is a time-out); writes go nowhere. While the input
// flush's 10 ms time-out is in force the line is quiet, so the flush never
// swallows what a command's reply is made of.
#pragma once

#include <cstddef>
#include <cstdint>

void fake_serial_feed(const uint8_t* data, size_t size);
