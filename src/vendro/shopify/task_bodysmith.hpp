#pragma once
// Builds and previews Nimbra "createCustomTask" payloads for Shopify product-variant operations.
// This is the single place where that request body is assembled, so every caller submits
// identical tasks. Submitting is the caller's job; nothing here talks to the network.

#include <cstdint>
#include <string_view>

#include "vendro/core/json.hpp"
#include "vendro/shopify/errors.hpp"

namespace vendro::shopify {

struct BuildRequest {
  Json operation;     // text: the operation's name in the template registry
  Json site_id;       // number; a fraction is truncated toward zero
  Json data_content;  // object: the task's form data, carried unchanged
  Json variant_ids;   // list of integers, carried unchanged
  Json product_id;    // integer, text or null, carried unchanged (never derived from variants)
};

struct PreviewRequest {
  Json operation;  // text
  Json site_id;    // number, converted like BuildRequest::site_id, reported but not checked
  Json payload;    // object, normally one produced by build()
};

// Stateless; safe to use from several threads. Each call reads the template registry (blocking
// file I/O) and the wall clock.
class ShopifyTaskBodysmith {
 public:
  static constexpr std::string_view SUBMIT_TARGET = "nimbra_create_custom_task";

  // The createCustomTask body: "task_content" (template, data, variants, product), then
  // "approve_state", "task_id", "feed_task_template_id", "confirm_button" and "_t" (Unix time in
  // whole seconds). "renderKey" inside the template is the Unix time in milliseconds as text.
  //
  // Errors, in this order and before anything else happens: ShopifyArgumentError for an argument
  // of the wrong type; ShopifyParamsError "site_id 不能为空" when site_id is 0 (checked first),
  // then "shopify_product_variant_id 不能为空" when variant_ids is empty; then the registry's own
  // errors (ShopifyUnknownOperationError, ShopifyTemplateError).
  Json build(const BuildRequest& request) const;

  // The dry-run preview of `payload`: dry_run, will_submit, submit_target, direct_shopify_api,
  // operation, operate_method, template_id, site_id, variant_count, variant_ids, product_id and
  // the payload itself, unchanged. A payload without "task_content" previews as zero variants
  // and a null product. Throws ShopifyArgumentError for wrong types, then the registry's errors.
  // The variants and the product are checked as build() checks its own: a "task_content" that
  // is not an object, variants that are not a list of integers, or a product that is not an
  // integer, text or null are refused.
  Json preview(const PreviewRequest& request) const;
};

}  // namespace vendro::shopify
