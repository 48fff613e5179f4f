// What the payer's requests do: the page an order's code_url opens, and its pay button.
// The router hands them the order number it read from the path (ParsePayerPath).
#pragma once

#include <string>

#include "sandbox/api/exchange.h"
#include "sandbox/api/order_desk.h"

namespace quillmark::sandbox {

// GET /pay/qr/<order>: the order's page, or 404 with a page that says there is no such order.
void ServePayerPage(Exchange& ex, OrderDesk& desk, const std::string& orderNo);
// POST /pay/qr/<order>/pay: pays the order when its life allows, then leads back to its
// page (303), whatever became of it; 404 as above.
void ServePayerPay(Exchange& ex, OrderDesk& desk, const std::string& orderNo);

}  // namespace quillmark::sandbox
