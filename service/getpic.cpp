// The commands that read the store: list and getpic.
#include <span>
#include <string>
#include <vector>

#include "service/password.h"
#include "service/quarn.h"
#include "storage/storage.h"

namespace {

// Whether the caller may see a picture whose stored password is `stored`,
// given the candidates from word 2 on. An empty stored password protects
// nothing.
bool may_see(const std::string& stored, const std::vector<std::string>& words) {
  return stored.empty() ||
         any_candidate_passes(stored, std::span(words).subspan(2));
}

void send_picture(std::shared_ptr<client>& connection,
                  const fetched_picture& fetched) {
  connection->sendStringEndl(int_to_string(fetched.lines));
  connection->sendString(*fetched.text);
}

}  // namespace

void send_list(std::shared_ptr<client>& connection) {
  const std::vector<std::string> items =
      sng_storage::instance()->get_all_items();
  std::string answer = int_to_string(static_cast<int>(items.size())) + "\n";
  for (const std::string& id : items) answer += id + "\n";
  connection->sendString(answer);
}

void get_picture(std::shared_ptr<client>& connection,
                 const std::vector<std::string>& words) {
  if (words.size() < 2) {
    connection->sendStringEndl("ERROR(ARG)");
    return;
  }
  try {
    const fetched_picture fetched =
        sng_storage::instance()->fetch_item(words[1]);
    if (!may_see(fetched.picture->private_("PASW"), words)) {
      connection->sendStringEndl("ERROR(PASSWORD)");
      return;
    }
    send_picture(connection, fetched);
  } catch (const sng_storage::not_found_error&) {
    connection->sendStringEndl("ERROR(NOTFOUND)");
  } catch (const sng_storage::read_error&) {
    connection->sendStringEndl("ERROR(DBREAD)");
  } catch (const sng::parse_error&) {
    connection->sendStringEndl("ERROR(PARSE)");
  }
}
