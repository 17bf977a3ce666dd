// The commands that read the store: list and getpic.
#include <span>
#include <string>
#include <vector>

#include "net/limits.h"
#include "service/log.h"
#include "service/password.h"
#include "service/quarn.h"
#include "storage/storage.h"

namespace {

// Spends the password budget of the client a connection serves, and logs
// when it is spent, at most once a minute for each client.
class budget_allowance final : public comparison_allowance {
 public:
  budget_allowance(const client_address& served, const std::string& picture)
      : served_(served), key_(served.key()), picture_(picture) {}

  bool take() override {
    switch (process_password_budget().take(key_)) {
      case password_budget::verdict::compare:
        return true;
      case password_budget::verdict::spent_log:
        log_line(log_level::warn, "password_budget_spent")
            .field("peer", served_.text())
            .field("picture", picture_)
            .write();
        return false;
      case password_budget::verdict::spent:
        return false;
    }
    return false;
  }
  void give_back() override { process_password_budget().give_back(key_); }

 private:
  const client_address& served_;
  const budget_key key_;
  const std::string& picture_;
};

// The longest picture text getpic builds: what putpic stores, and the one
// blank that reading a stored picture adds to its text chunk. A longer one,
// from a file written otherwise, is a request past the protocol's limits.
constexpr std::size_t max_fetched_text_bytes = max_picture_bytes + 1;

// Whether the caller may see a picture whose stored password is `stored`,
// given the candidates from word 2 on. An empty stored password protects
// nothing. The check's tables come out of the caller's memory: a picture
// stored by an older service may hold a password of megabytes. Candidates
// are compared while the budget of `served` lasts; a loopback client is not
// counted.
bool may_see(const std::string& stored, const std::vector<std::string>& words,
             memory_account& account, const client_address& served) {
  if (stored.empty()) return true;
  account.take(password_check::memory_bytes(stored.size()));
  const std::span candidates = std::span(words).subspan(2);
  if (served.is_loopback()) return any_candidate_passes(stored, candidates);
  budget_allowance allowance(served, words[1]);
  return any_candidate_passes(stored, candidates, allowance);
}

// Answers up to this many bytes of text go out in one send with their count
// line: a send through the network stack costs more than copying them.
constexpr std::size_t one_send_text_bytes = 64 * 1024;

void send_picture(std::shared_ptr<client>& connection,
                  const fetched_picture& fetched, memory_account& account) {
  const std::string count = int_to_string(fetched.lines);
  const std::string& text = *fetched.text;
  if (text.size() > one_send_text_bytes) {
    connection->sendStringEndl(count);
    connection->sendString(text);
    return;
  }
  const std::size_t size = count.size() + 1 + text.size();
  account.take(size);
  std::string answer;
  answer.reserve(size);
  ((answer += count) += '\n') += text;
  connection->sendString(answer);
}

// Memory a list answer of `count` identifiers takes: the copy of the list
// and the answer's text, identifiers of up to eight hexadecimal digits.
std::size_t list_bytes(std::size_t count) {
  constexpr std::size_t longest_line = sizeof("ffffffff.sng");
  return count * (sizeof(std::string) + longest_line) + longest_line;
}

}  // namespace

void send_list(std::shared_ptr<client>& connection, memory_account& account) {
  sng_storage* store = sng_storage::instance();
  // Pictures stored meanwhile add a little to what was taken.
  account.take(list_bytes(store->count()));
  const std::vector<std::string> items = store->get_all_items();
  std::string answer = int_to_string(static_cast<int>(items.size())) + "\n";
  std::size_t size = answer.size();
  for (const std::string& id : items) size += id.size() + 1;
  answer.reserve(size);
  for (const std::string& id : items) answer.append(id) += '\n';
  connection->sendString(answer);
}

void get_picture(std::shared_ptr<client>& connection,
                 const std::vector<std::string>& words, memory_account& account,
                 const client_address& served) {
  if (words.size() < 2) {
    connection->sendStringEndl("ERROR(ARG)");
    return;
  }
  fetch_hooks hooks;
  hooks.reserve = [&account](std::size_t bytes) { account.take(bytes); };
  hooks.reserve_text = [&account](std::size_t bytes) {
    if (bytes > max_fetched_text_bytes) throw client::limit_error();
    account.take(bytes);
  };
  try {
    const fetched_picture fetched =
        sng_storage::instance()->fetch_item(words[1], hooks);
    if (!may_see(fetched.picture->private_("PASW"), words, account, served)) {
      connection->sendStringEndl("ERROR(PASSWORD)");
      return;
    }
    send_picture(connection, fetched, account);
  } catch (const sng_storage::not_found_error&) {
    connection->sendStringEndl("ERROR(NOTFOUND)");
  } catch (const sng_storage::read_error&) {
    connection->sendStringEndl("ERROR(DBREAD)");
  } catch (const sng::parse_error&) {
    connection->sendStringEndl("ERROR(PARSE)");
  }
}
