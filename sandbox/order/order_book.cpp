// The bounded order book: placing, finding and forgetting orders by age and count.
#include "sandbox/order/order_book.h"

#include <algorithm>
#include <utility>

namespace quillmark::sandbox {

OrderBook::OrderBook(std::chrono::seconds ttl, std::size_t maxOrders,
                     std::function<void(const std::string&)> forgotten)
    : ttl_(ttl),
      maxOrders_(std::max<std::size_t>(maxOrders, 1)),
      forgotten_(std::move(forgotten)) {}

bool OrderBook::Place(const std::string& number, Order order, Clock::time_point now) {
  ForgetExpired(now);
  const auto [it, placed] = orders_.emplace(number, std::move(order));
  if (!placed) return false;
  byAge_.push_back({now, &it->first});
  while (orders_.size() > maxOrders_) ForgetOldest();
  return true;
}

Order* OrderBook::Find(const std::string& number, Clock::time_point now) {
  ForgetExpired(now);
  const auto it = orders_.find(number);
  return it == orders_.end() ? nullptr : &it->second;
}

std::string OrderBook::FindNumber(const std::function<bool(const Order&)>& matches,
                                  Clock::time_point now) {
  ForgetExpired(now);
  for (const auto& [number, order] : orders_) {
    if (matches(order)) return number;
  }
  return "";
}

std::vector<std::pair<std::string, Order>> OrderBook::All(Clock::time_point now) {
  ForgetExpired(now);
  return {orders_.begin(), orders_.end()};
}

void OrderBook::ForgetExpired(Clock::time_point now) {
  // Orders are placed in time order, so the expired ones are at the front.
  while (!byAge_.empty() && now - byAge_.front().at >= ttl_) ForgetOldest();
}

void OrderBook::ForgetOldest() {
  const std::string& number = *byAge_.front().number;
  // Told before the erase, which destroys `number`.
  if (forgotten_) forgotten_(number);
  orders_.erase(orders_.find(number));
  byAge_.pop_front();
}

}  // namespace quillmark::sandbox
