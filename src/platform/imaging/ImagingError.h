#pragma once

#include <stdexcept>

namespace imaging {

// Raised by the encoders and the EXIF writer when they cannot produce output.
// Readers and decoders never raise it: they answer with empty values instead.
class ImagingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace imaging
