// The publisher of --nats: every valid record, as it came, to a JetStream
// stream, one subject per gateway and line (cvfmon.<gw>.<line>), with a
// message id made of the record's gateway, line, sequence number and time
// stamp so that the stream's duplicate window stores a record once however
// often it is published (a retry, or a second collector of the same
// multicast group).
//
// What runs where: a set-up thread of the publisher connects, finds or
// makes the stream and subscribes to the acknowledgements, trying again
// every second while the cluster cannot be reached, so that the collector
// starts and receives without it; it ends once publishing can start, and
// only then does the loop touch the connection. The NATS client reads and
// writes its connection on threads of its own. Their only work for the
// publisher is the acknowledgement handler, which marks the record
// acknowledged under the publisher's mutex and wakes the loop through an
// eventfd. Everything else (publishing, retries, the backlog, the counts)
// runs on the loop's thread.
#pragma once
#include <cstdint>

struct Options;
struct CvRecord;
struct NatsTotals;
struct Publisher;

// Starts the set-up (connecting to the cluster of o.natsUrls, making the
// stream when it is missing (said in one line when an existing one has
// other settings), subscribing to the acknowledgements) and waits up to 5
// seconds for it; a cluster not reachable by then is tried every second
// while the records wait in the backlog. Reports and returns null only
// when there is no memory or no thread.
Publisher *publisherOpen(const Options &o, NatsTotals *counts);
// The descriptor that turns readable when acknowledgements are waiting.
int publisherFd(const Publisher *p);
// Takes one valid record (raw: its bytes as received) into the backlog
// and publishes it when fewer than --nats-max-pending are in flight; a
// record that finds the backlog full is counted unpublished.
void publisherRecord(Publisher *p, const CvRecord &rec, const uint8_t *raw, uint64_t nowNs);
// Takes the acknowledgements, publishes what waits, publishes again from
// the first record whose acknowledgement failed or is overdue. Returns
// when it is due again (UINT64_MAX: only when its descriptor is ready).
uint64_t publisherTick(Publisher *p, uint64_t nowNs);
// Waits up to waitNs for the backlog to be acknowledged, counts the rest
// unpublished, and closes.
void publisherClose(Publisher *p, uint64_t waitNs);
