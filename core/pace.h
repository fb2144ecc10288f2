// When a receive loop pauses a fast stream. Each time a receive finds the
// socket's queue dry, the loop either writes out the lines it holds and
// blocks until the next datagram, or pauses so that the next datagrams queue
// up and come in one receive. Which one is decided from what the queue
// actually gathered: a pause is made only when it is expected to gather at
// least two datagrams (one would cost the same wake-up as blocking), and a
// pause that gathers nothing ends the pausing at once.
#ifndef CORE_PACE_H
#define CORE_PACE_H

#include <cstdint>

// The longest a line waits in the program, in microseconds, from the moment
// its datagram can first have reached the queue.
const std::int64_t line_wait_most_us = 1000;

// What a pause is sized to gather at most, in datagrams: half of
// ssm_listen's batch, so that a pause that runs long still leaves the batch
// short, and one receive takes everything.
const int pace_gather_most = 32;

// A pause must be expected to gather at least this many datagrams: one
// costs the same wake-up as blocking until it comes.
const double pace_worth_a_pause = 2.0;

// What a queued datagram costs the receive queue beyond its payload, in bytes
// (Linux counts about 800 for a small one).
const double pace_queue_cost_per_datagram = 832.0;

// What a pause may fill of a receive queue of queue_bytes (0: the system
// does not say, and the usual default is taken): half of it.
long pace_queue_share(long queue_bytes);

// The longest pause, in microseconds, in which a stream of rate_per_us
// datagrams a microsecond, each taking bytes_per_datagram of the queue,
// gathers no more than pace_gather_most datagrams and fills no more than
// queue_share_bytes.
double pace_longest_pause_us(double rate_per_us, double bytes_per_datagram,
                             long queue_share_bytes);

// The stream as the receives saw it. Set up by pace_start; the fields are
// the pacer's own.
struct pace_state {
  long queue_share_bytes;    // kernel memory a pause may fill: half the queue
  double rate_per_us;        // datagrams a microsecond, as last measured
  double bytes_per_datagram;  // kernel memory a queued datagram takes
  std::int64_t dry_us;       // when a receive last found the queue dry
  long taken;                // datagrams taken since then
  long taken_bytes;          // and their length
  bool paused;               // the last step was a pause
  bool holding;              // lines are held, since held_since_us
  std::int64_t held_since_us;
  std::int64_t wrote_us;     // when lines were last written out with more queued
};

// The loop's next step once the queue is dry.
struct pace_step {
  bool write_out;  // write out the lines held, now; always so when they are
                   // held and no pause follows
  int pause_us;    // then pause this long; 0: block
};

// Starts with no stream measured: the first datagrams are written out at
// once. queue_bytes is the receive queue the system granted (0: unknown).
void pace_start(pace_state* pace, long queue_bytes, std::int64_t now_us);

// Counts what one receive took: count datagrams (failed receives included)
// of bytes in all.
void pace_took(pace_state* pace, int count, long bytes);

// Measures the stream over the time since the queue was last dry and
// decides the next step; held says whether lines are held now.
pace_step pace_when_dry(pace_state* pace, bool held, std::int64_t now_us);

// Whether the stream is fast enough that a pause would gather more than one
// datagram, by the last measure or by what was taken since the queue was
// last dry: only then is it worth looking for the next datagram before
// writing the lines out (and pace_when_dry pauses only then).
bool pace_fast(const pace_state* pace, std::int64_t now_us);

// Whether the lines held while the queue never ran dry must be written out
// now: the oldest has waited as long as a line may.
bool pace_write_due(const pace_state* pace, std::int64_t now_us);

// Notes that the lines held were written out while more was queued.
void pace_wrote_out(pace_state* pace, std::int64_t now_us);

// Whether the receives since the queue was last dry took twice what a pause
// gathers at most (ssm_listen's whole batch) or more: the loop fell behind
// the stream, and the queue may have overflowed. Ask before pace_when_dry,
// which starts that count anew.
bool pace_fell_behind(const pace_state* pace);

#endif  // CORE_PACE_H
