#pragma once
// The error types of the Sif exports. Every failure of the Sif subsystem is a SifError, so
// callers can catch "a Sif failure" in one place; the derived types carry machine codes.
// Bad caller input that is not Sif-specific (too few ASINs, an unusable job id) is a
// vendro::InputError instead.

#include "vendro/core/error.hpp"

namespace vendro::sif {

// The base of every Sif failure.
VENDRO_DEFINE_ERROR(SifError, Error, "SIF_ERROR");

// Unsupported Sif marketplace.
VENDRO_DEFINE_ERROR(SifSiteNotSupportedError, SifError, "SIF_SITE_NOT_SUPPORTED");

// The stored Sif settings could not be read or are incomplete (e.g. a username without password).
VENDRO_DEFINE_ERROR(SifConfigError, SifError, "SIF_CONFIG_ERROR");

// The Sif service could not be reached, answered with an HTTP error, or answered with a JSON
// error instead of a spreadsheet. A transport failure is kept as the nested cause.
VENDRO_DEFINE_ERROR(SifApiError, SifError, "SIF_API_ERROR");

// Downloaded content could not be saved as a spreadsheet (not an xlsx workbook).
VENDRO_DEFINE_ERROR(SifExportError, SifError, "SIF_EXPORT_ERROR");

}  // namespace vendro::sif
