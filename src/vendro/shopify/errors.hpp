#pragma once
// The errors of the Shopify task payload builder and its template registry.

#include "vendro/core/error.hpp"

namespace vendro::shopify {

// A required task parameter is empty ("site_id 不能为空", "shopify_product_variant_id 不能为空").
VENDRO_DEFINE_ERROR(ShopifyParamsError, InputError, "SHOPIFY_PARAMS_ERROR");
// An argument has the wrong type (operation not text, data not an object, ...).
VENDRO_DEFINE_ERROR(ShopifyArgumentError, InputError, "SHOPIFY_INVALID_ARGUMENT");
// The operation is not in the template registry; the message lists the known ones.
VENDRO_DEFINE_ERROR(ShopifyUnknownOperationError, InputError, "SHOPIFY_UNKNOWN_OPERATION");
// The template registry file is missing, unreadable, malformed or incomplete; the message names
// the file and the lower failure is kept as the cause.
VENDRO_DEFINE_ERROR(ShopifyTemplateError, Error, "SHOPIFY_TEMPLATE_ERROR");

}  // namespace vendro::shopify
