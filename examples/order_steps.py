"""The steps of the orders job.

The job's YAML lists the pipeline by name; ContextProcessor imports this
module and looks every name up here.  Plain functions become steps as they
are: each gets the previous step's output and the run's keywords (the job
passes its settings as `settings`).
"""
import csv
import datetime

from common_utils import common_utils as cu

# The job hands this logger its log files and level when it builds the pipeline.
logger = cu.get_logger("orders_steps")

RATES = {}  # currency -> EUR, from the shared configuration
EXECUTOR = None  # set by the job: a concurrent.futures executor the batches run on


def read_orders(path, settings, **kwargs):
    """The raw rows of the input file, as text."""
    RATES.clear()
    RATES.update(settings.shared["rates"])
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    logger.info("read %d orders from %s", len(rows), path)
    return rows


def parse_orders(rows, settings, **kwargs):
    """Typed orders; a row that does not parse keeps the reason under "error"."""
    categories = set(settings.shared["categories"])
    return [parse_row(line, row, categories) for line, row in enumerate(rows, start=2)]


def parse_row(line, row, categories):
    fields = [row.get(k) or "" for k in ("order_id", "day", "category", "currency", "amount")]
    order = {"line": line, "raw": ",".join(fields), "error": None}
    order_id, day, category, currency, amount = fields
    try:
        order["order_id"] = int(order_id)
    except ValueError:
        order["error"] = "bad order id"
        return order
    try:
        datetime.date(int(day[:4]), int(day[4:6]), int(day[6:]))
        order["day"] = day
    except ValueError:
        order["error"] = "bad date"
        return order
    try:
        order["amount"] = float(amount)
    except ValueError:
        order["error"] = "bad amount"
        return order
    order["category"], order["currency"] = category, currency
    if order["amount"] <= 0:
        order["error"] = "amount not positive"
    elif category not in categories:
        order["error"] = "unknown category"
    elif currency not in RATES:
        order["error"] = "unknown currency"
    return order


# ---- the limit: a branch whose true side stops the run's routing ----------

@cu.FunctionSelector
def over_limit(orders, settings, **kwargs):
    return 0 < settings.max_records < len(orders)


def keep_limit(orders, settings, **kwargs):
    logger.warning("input holds %d orders, routing the first %d", len(orders), settings.max_records)
    return orders[: settings.max_records]


# ---- routing: a loop over batches, a branch per row -----------------------

@cu.LRUCache(maxsize=64)
def eur_rate(currency, day):
    """The day's EUR rate of a currency (a stand-in for a reference-data call)."""
    drift = 1 + (int(day) % 7 - 3) / 1000
    return round(RATES[currency] * drift, 6)


@cu.FunctionSelector
def is_valid(order, **kwargs):
    return order["error"] is None


def to_record(order, settings, **kwargs):
    if not RATES:  # a cluster's worker, which has not read the orders
        RATES.update(settings.shared["rates"])
    rate = eur_rate(order["currency"], order["day"])
    return {"order_id": order["order_id"], "day": order["day"], "category": order["category"],
            "currency": order["currency"], "amount": order["amount"],
            "amount_eur": round(order["amount"] * rate, 2)}


def to_reject(order, **kwargs):
    return {"line": order["line"], "reason": order["error"], "raw": order["raw"]}


def batches(orders, settings, **kwargs):
    size = max(settings.batch_size, 1)
    return [orders[i:i + size] for i in range(0, len(orders), size)]


class BatchRouter(cu.LoopProcessor):
    """Routes every order of every batch: good ones become records, bad ones
    rejects.  With `concurrent` in its model arguments the batches run at once
    in worker threads, with EXECUTOR set on that executor (in other processes
    or machines); the output keeps the batch order either way."""

    def __init__(self, model_args=None, **kwargs):
        kwargs.setdefault("name", "BatchRouter")
        super().__init__(
            looper=batches,
            processors={"SimpleLooper": {"processors": {
                "is_valid": {"true_processors": to_record, "false_processors": to_reject}}}},
            use_aysnc_run=EXECUTOR or bool(model_args.concurrent),
            model_args=model_args,
            **kwargs)

    def process(self, in_data=None, settings=None, time_cost=None, **kwargs):
        # Only what the routing needs goes along: the database stays here.
        return super().process(in_data, settings=settings, time_cost=time_cost)


def store_results(routed, settings, db, **kwargs):
    """Writes the records and the rejects of the day; returns their counts."""
    records = [r for batch in routed for r in batch if "order_id" in r]
    rejects = [r for batch in routed for r in batch if "reason" in r]
    day = settings.biz_date
    # Each statement commits by itself (the database runs in WAL mode, so
    # that is cheap); a rerun of the same day replaces that day's rows.
    db.execute("DELETE FROM orders WHERE biz_date = ?", (day,))
    db.execute("DELETE FROM rejects WHERE biz_date = ?", (day,))
    for r in records:
        db.execute(
            "INSERT INTO orders (biz_date, order_id, day, category, currency, amount, amount_eur)"
            " VALUES (?, ?, ?, ?, ?, ?, ?)",
            (day, r["order_id"], r["day"], r["category"], r["currency"], r["amount"], r["amount_eur"]))
    for r in rejects:
        db.execute("INSERT INTO rejects (biz_date, line, reason, raw) VALUES (?, ?, ?, ?)",
                   (day, r["line"], r["reason"], r["raw"]))
    logger.info("stored %d orders and %d rejects for %s", len(records), len(rejects), day)
    return {"stored": len(records), "rejected": len(rejects)}
