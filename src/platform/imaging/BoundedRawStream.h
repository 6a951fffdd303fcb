#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <libraw/libraw_datastream.h>

// Internal to the imaging library.
namespace imaging::detail {

// LibRaw's view of a RAW file in memory that gives up after a budget of reads and seeks.
// Some damaged files (a CR3 with looping boxes, for one) send LibRaw's header parsing round
// and round for minutes; parsing a real camera file's headers takes a few thousand reads, so a
// budget far above that stops only such loops. Once the headers are read the budget can be
// lifted for decoding, which reads every byte of the sensor data.
//
// The memory may be a file read on demand: `ensure` is then asked for the bytes each read
// touches before they are handed to LibRaw, and when they cannot be read LibRaw is stopped as by
// the budget, so that it never works on bytes that are not the file's.
class BoundedRawStream : public LibRaw_buffer_datastream {
public:
    using EnsureBytes = std::function<bool(std::size_t offset, std::size_t length)>;

    // Reads and seeks allowed while the budget is on: some hundred times what the largest
    // camera files need.
    static constexpr std::int64_t kHeaderBudget = 1'000'000;

    BoundedRawStream(const void* data, std::size_t size, EnsureBytes ensure = {});

    void liftBudget() { m_left = -1; }

    int read(void* ptr, std::size_t size, std::size_t count) override;
    int seek(INT64 offset, int whence) override;
    int get_char() override;
    char* gets(char* s, int size) override;
    int scanf_one(const char* format, void* value) override;
    int jpeg_src(void* jpegData) override;
    void* make_jas_stream() override;

private:
    void spend();
    // Ensures `length` bytes from the current position, as far as the data goes.
    void need(std::size_t length);

    std::int64_t m_left = kHeaderBudget;
    EnsureBytes m_ensure;
};

} // namespace imaging::detail
