#pragma once
// Keepa-like documents for the streaming converter's tests.

#include <string>

namespace vendro::keepa {

// `count` products: large enough to be parsed on a second thread, in many chunks of events.
// With `collide`, every 97th product repeats a name, which takes the second pass.
inline std::string many_products(int count, bool collide) {
  std::string text = R"({"timestamp":1765200000000,"tokensLeft":12,"products":[)";
  for (int i = 0; i < count; ++i) {
    if (i) text += ',';
    text += R"({"asin":"B0)" + std::to_string(1000000 + i) + R"(","title":"耳机 )" +
            std::to_string(i) + R"(","lastUpdate":)" + std::to_string(7000000 + i) +
            R"(,"csv":[[7600000,1999,7600060,-1,7600120,2099],null,[1,2,3]],)" +
            R"("stats":{"lastOffersUpdate":"7600000","avg":[1.5,-0.0,1e300]},)" +
            R"("offers":[{"lastSeen":7654321,"offerCSV":[7600000,1999,0]}]})";
    if (collide && i % 97 == 0) text.insert(text.size() - 1, R"(,"lastUpdateUtc":"x")");
  }
  return text + "]}";
}

}  // namespace vendro::keepa
