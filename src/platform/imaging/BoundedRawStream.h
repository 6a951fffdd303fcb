#pragma once

#include <cstddef>
#include <cstdint>
#include <libraw/libraw_datastream.h>

// Internal to the imaging library.
namespace imaging::detail {

// LibRaw's view of a RAW file in memory that gives up after a budget of reads and seeks.
// Some damaged files (a CR3 with looping boxes, for one) send LibRaw's header parsing round
// and round for minutes; parsing a real camera file's headers takes a few thousand reads, so a
// budget far above that stops only such loops. Once the headers are read the budget can be
// lifted for decoding, which reads every byte of the sensor data.
class BoundedRawStream : public LibRaw_buffer_datastream {
public:
    // Reads and seeks allowed while the budget is on: some hundred times what the largest
    // camera files need.
    static constexpr std::int64_t kHeaderBudget = 1'000'000;

    BoundedRawStream(const void* data, std::size_t size);

    void liftBudget() { m_left = -1; }

    int read(void* ptr, std::size_t size, std::size_t count) override;
    int seek(INT64 offset, int whence) override;
    int get_char() override;
    char* gets(char* s, int size) override;

private:
    void spend();

    std::int64_t m_left = kHeaderBudget;
};

} // namespace imaging::detail
