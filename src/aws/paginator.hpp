#pragma once
// Following the pages of a paginated operation, as the SDKs' paginators do.
#include <optional>
#include <string>
#include <vector>

#include "aws/errors.hpp"

namespace qvn::aws {

// Pages::All follows every page and returns them as one result; Pages::One
// sends one request (with the request's own token, if any) and returns that
// page with its continuation token.
enum class Pages { All, One };

// The service handed back the token it was just given: following it would
// loop for ever.
class PaginationError : public AwsError {
 public:
  using AwsError::AwsError;
};

// Calls `fetch(request)` and, with Pages::All, keeps calling it with the
// token of the previous page (read from `result_token`, written to
// `request_token`) while `more(page)` is true, appending each page's
// `items` to the first. The combined result carries no continuation token.
template <class Request, class Result, class Item, class Fetch, class More>
Result collect_pages(Request request, Pages pages, const std::string& operation,
                     std::optional<std::string> Request::*request_token,
                     std::optional<std::string> Result::*result_token, std::vector<Item> Result::*items, Fetch&& fetch,
                     More&& more) {
  Result all = fetch(request);
  if (pages == Pages::One) return all;
  bool again = more(all);
  std::optional<std::string> token = all.*result_token;
  while (again && token && !token->empty()) {
    if (request.*request_token == token) {
      throw PaginationError(operation + ": the service returned the same continuation token twice (\"" + *token +
                            "\")");
    }
    request.*request_token = token;
    Result page = fetch(request);
    auto& target = all.*items;
    for (auto& item : page.*items) target.push_back(std::move(item));
    again = more(page);
    token = page.*result_token;
  }
  all.*result_token = std::nullopt;
  return all;
}

}  // namespace qvn::aws
