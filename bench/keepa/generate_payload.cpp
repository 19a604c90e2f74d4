// Writes a made-up but realistically shaped Keepa product response of about the asked size:
// many products, each with 30 "csv" price histories (some empty), nested "stats" and "offers",
// time members in Keepa minutes, and some titles in Chinese and Japanese. Compact JSON, like the
// service sends it. Deterministic for a given seed.
//
//   generate_payload OUTPUT_FILE SIZE_MB [SEED]

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

namespace {

class PayloadWriter {
 public:
  explicit PayloadWriter(std::uint32_t seed) : rng_(seed) {}

  std::string product(int index) {
    out_.clear();
    const int now = 7600000 + between(0, 60000);
    out_ += "{\"csv\":[";
    for (int h = 0; h < 30; ++h) {
      if (h) out_ += ',';
      history(h, now);
    }
    out_ += "],\"categories\":[" + std::to_string(between(1000, 9999999)) + "," +
            std::to_string(between(1000, 9999999)) + "],\"imagesCSV\":\"" + images() +
            "\",\"manufacturer\":\"Shenzhen Example Co.\",\"lastPriceChange\":" +
            std::to_string(now - between(0, 5000)) + ",\"lastUpdate\":" + std::to_string(now) +
            ",\"lastRatingUpdate\":" + std::to_string(now - between(0, 20000)) +
            ",\"lastStockUpdate\":" + std::to_string(between(0, 3) ? now - 100 : -1) +
            ",\"rootCategory\":" + std::to_string(between(1000, 99999)) +
            ",\"productType\":0,\"parentAsin\":\"B0P" + code(7) + "\",\"variationCSV\":\"B0V" +
            code(7) + ",B0V" + code(7) + "\",\"asin\":\"B0" + code(8) +
            "\",\"domainId\":1,\"type\":\"HEADPHONES\",\"hasReviews\":true,\"title\":\"" +
            title(index) + "\",\"trackingSince\":" + std::to_string(now - between(100000, 900000)) +
            ",\"listedSince\":" + std::to_string(now - between(100000, 900000)) +
            ",\"brand\":\"Examplesound\",\"productGroup\":\"Electronics\",\"partNumber\":\"X-" +
            code(4) + "\",\"model\":\"M" + code(3) +
            "\",\"packageHeight\":" + std::to_string(between(10, 300)) +
            ",\"packageLength\":" + std::to_string(between(10, 300)) +
            ",\"packageWidth\":" + std::to_string(between(10, 300)) +
            ",\"packageWeight\":" + std::to_string(between(50, 3000)) +
            ",\"packageQuantity\":1,\"isAdultProduct\":false,\"isEligibleForTradeIn\":false,"
            "\"isEligibleForSuperSaverShipping\":true,\"features\":[\"Bluetooth 5.3\","
            "\"40 hours of playback\",\"IPX5 water resistance\"],\"eanList\":[\"0" +
            code(12) + "\"],\"availabilityAmazon\":" + std::to_string(between(-1, 3)) +
            ",\"fbaFees\":{\"lastUpdate\":" + std::to_string(now - between(0, 40000)) +
            ",\"pickAndPackFee\":" + std::to_string(between(250, 900)) + "},\"stats\":";
    stats(now);
    out_ += ",\"offers\":[";
    const int offers = between(0, 8);
    for (int o = 0; o < offers; ++o) {
      if (o) out_ += ',';
      offer(o, now);
    }
    out_ += "],\"liveOffersOrder\":[0,1,2],\"rating\":" + std::to_string(between(30, 50)) +
            ",\"salesRankReference\":" + std::to_string(between(1000, 99999)) + "}";
    return out_;
  }

 private:
  int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

  std::string code(int length) {
    static const char digits[] = "0123456789ABCDEFGHJKLMNPQRSTUVWXYZ";
    std::string text;
    for (int i = 0; i < length; ++i) text += digits[between(0, 33)];
    return text;
  }

  std::string images() {
    std::string text;
    for (int i = 0; i < 6; ++i) text += (i ? ",71" : "71") + code(9) + "L.jpg";
    return text;
  }

  std::string title(int index) {
    switch (index % 5) {
      case 0:
        return "无线蓝牙耳机 降噪 超长续航 型号" + std::to_string(index);
      case 1:
        return "ワイヤレスイヤホン Bluetooth 5.3 ノイズキャンセリング " + std::to_string(index);
      default:
        return "Wireless Earbuds, Bluetooth 5.3 Headphones with \\\"Deep Bass\\\", Model " +
               std::to_string(index);
    }
  }

  // One history: (time, value) pairs, or (time, value, shipping) triples for the buy box
  // shipping history (index 18), or null for an unused one.
  void history(int index, int now) {
    if (between(0, 9) < 3 && index != 0 && index != 3) {
      out_ += "null";
      return;
    }
    const int width = index == 18 ? 3 : 2;
    const int points = between(40, 340);
    int time = now - points * between(60, 300);
    int value = index == 3 ? between(1000, 200000) : between(999, 29999);
    out_ += '[';
    for (int p = 0; p < points; ++p) {
      if (p) out_ += ',';
      time += between(1, 600);
      value = between(0, 20) == 0 ? -1 : std::max(1, value + between(-300, 300));
      out_ += std::to_string(time) + ',' + std::to_string(value);
      if (width == 3) out_ += ',' + std::to_string(between(0, 1) ? 0 : 499);
    }
    out_ += ']';
  }

  void int_list(int count, int low, int high) {
    out_ += '[';
    for (int i = 0; i < count; ++i) {
      if (i) out_ += ',';
      out_ += std::to_string(between(0, 6) == 0 ? -1 : between(low, high));
    }
    out_ += ']';
  }

  void stats(int now) {
    out_ += "{\"current\":";
    int_list(30, 999, 29999);
    for (const char* name : {"avg", "avg30", "avg90", "avg180", "atIntervalStart"}) {
      out_ += ",\"";
      out_ += name;
      out_ += "\":";
      int_list(30, 999, 29999);
    }
    for (const char* name : {"min", "max"}) {
      out_ += ",\"";
      out_ += name;
      out_ += "\":[";
      for (int i = 0; i < 30; ++i) {
        if (i) out_ += ',';
        if (between(0, 3) == 0) {
          out_ += "null";
        } else {
          out_ += '[' + std::to_string(now - between(0, 500000)) + ',' +
                  std::to_string(between(999, 29999)) + ']';
        }
      }
      out_ += ']';
    }
    out_ += ",\"outOfStockPercentage30\":";
    int_list(30, 0, 100);
    out_ += ",\"lastOffersUpdate\":" + std::to_string(now - between(0, 3000)) +
            ",\"totalOfferCount\":" + std::to_string(between(0, 40)) +
            ",\"buyBoxPrice\":" + std::to_string(between(999, 29999)) +
            ",\"buyBoxShipping\":0,\"buyBoxIsFBA\":true,\"buyBoxSellerId\":\"A" + code(13) +
            "\",\"salesRankDrops30\":" + std::to_string(between(0, 300)) +
            ",\"salesRankDrops90\":" + std::to_string(between(0, 900)) + ",\"tradeInPrice\":-1}";
  }

  void offer(int index, int now) {
    out_ += "{\"offerId\":" + std::to_string(index) +
            ",\"lastSeen\":" + std::to_string(now - between(0, 9000)) + ",\"sellerId\":\"A" +
            code(13) + "\",\"offerCSV\":[";
    const int points = between(2, 40);
    int time = now - points * 600;
    for (int p = 0; p < points; ++p) {
      if (p) out_ += ',';
      time += between(1, 600);
      out_ += std::to_string(time) + ',' + std::to_string(between(999, 29999)) + ",0";
    }
    out_ +=
        "],\"condition\":1,\"isPrime\":true,\"isMAP\":false,\"isShippable\":true,"
        "\"isAddonItem\":false,\"isPreorder\":false,\"isWarehouseDeal\":false,"
        "\"isScam\":false,\"isAmazon\":false,\"isPrimeExcl\":false,\"isFBA\":" +
        std::string(between(0, 1) ? "true" : "false") +
        ",\"shipsFromChina\":" + std::string(between(0, 3) ? "false" : "true") + "}";
  }

  std::mt19937 rng_;
  std::string out_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "用法：generate_payload 输出文件 大小MB [种子]\n";
    return 2;
  }
  const std::uint64_t target = std::strtoull(argv[2], nullptr, 10) * 1000 * 1000;
  const auto seed = static_cast<std::uint32_t>(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1);
  std::ofstream out(argv[1], std::ios::binary);
  if (!out) {
    std::cerr << "无法写入 " << argv[1] << "\n";
    return 1;
  }
  const std::string head =
      "{\"timestamp\":1765200000000,\"tokensLeft\":1187,\"refillIn\":41000,\"refillRate\":20,"
      "\"tokenFlowReduction\":0.0,\"tokensConsumed\":";
  PayloadWriter writer(seed);
  int count = 0;
  std::uint64_t written = head.size() + 64;
  out << head << "0,\"processingTimeInMs\":731,\"products\":[";
  while (written < target) {
    const std::string& product = writer.product(count);
    if (count) out << ',';
    out << product;
    written += product.size() + 1;
    ++count;
  }
  out << "]}";
  if (!out.flush()) {
    std::cerr << "写入失败：" << argv[1] << "\n";
    return 1;
  }
  std::cerr << argv[1] << "：" << count << " 个商品，" << written << " 字节\n";
  return 0;
}
