#include "sandbox/order_book.h"

#include <algorithm>
#include <utility>

namespace quillmark::sandbox {

OrderBook::OrderBook(std::chrono::seconds ttl, std::size_t maxOrders)
    : ttl_(ttl), maxOrders_(std::max<std::size_t>(maxOrders, 1)) {}

bool OrderBook::Place(const std::string& number, Order order, Clock::time_point now) {
  ForgetExpired(now);
  const auto [it, placed] = orders_.emplace(number, std::move(order));
  if (!placed) return false;
  byAge_.push_back({now, &it->first});
  while (orders_.size() > maxOrders_) {
    orders_.erase(orders_.find(*byAge_.front().number));
    byAge_.pop_front();
  }
  return true;
}

Order* OrderBook::Find(const std::string& number, Clock::time_point now) {
  ForgetExpired(now);
  const auto it = orders_.find(number);
  return it == orders_.end() ? nullptr : &it->second;
}

void OrderBook::ForgetExpired(Clock::time_point now) {
  // Orders are placed in time order, so the expired ones are at the front.
  while (!byAge_.empty() && now - byAge_.front().at >= ttl_) {
    orders_.erase(orders_.find(*byAge_.front().number));
    byAge_.pop_front();
  }
}

}  // namespace quillmark::sandbox
