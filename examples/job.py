"""The daily orders job: a data-processing job built on common_utils.

    python examples/job.py --config examples/config/job.yaml [--biz_date 20261206]
        [--records 4000] [--max_records 1000] [--concurrent] [--debug]
        [--labels team=sales run=nightly] [--notify-url http://127.0.0.1:8000/hook]
        [--trace_memory]

It makes the day's order file (a few thousand orders, some of them bad),
builds its pipeline from the YAML step list, routes good orders to the
`orders` table of a SQLite file and bad ones to `rejects`, and prints a
report read back from the database.  Paths in the configuration are taken
relative to the working directory.
"""
import datetime
import os
import random
import sys
import tracemalloc

from common_utils import common_utils as cu

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # the step module, order_steps.py, stands beside this script


def job_options(parser):
    """The options of this job beside the standard ones and those the YAML keys make."""
    cu.parser_add_bool(parser, "concurrent", default=False)
    cu.parser_add_bool(parser, "trace_memory", default=False)
    parser.add_argument("--notify-url", "--notify_url", default="",
                        help="post the summary to this webhook when given")
    parser.add_argument("--labels", nargs="+", action=cu.list_to_keyvalue2, default={},
                        help="key=value labels stored with the run")
    return parser


def make_orders(path, records, seed, biz_date, shared):
    """Writes the day's input: the same file for the same seed and date."""
    rnd = random.Random("{}-{}".format(seed, biz_date))
    day = datetime.datetime.strptime(biz_date, "%Y%m%d")
    categories, currencies = shared["categories"], shared["currencies"]
    with open(path, "w", encoding="utf-8") as f:
        f.write("order_id,day,category,currency,amount\n")
        for order_id in range(1, records + 1):
            when = (day - datetime.timedelta(days=rnd.randrange(3))).strftime("%Y%m%d")
            row = [str(order_id), when, rnd.choice(categories), rnd.choice(currencies),
                   "{:.2f}".format(rnd.lognormvariate(3, 1))]
            flaw = rnd.random()
            if flaw < 0.01:
                row[4] = "n/a"                      # unreadable amount
            elif flaw < 0.02:
                row[4] = "-" + row[4]               # refund booked as an order
            elif flaw < 0.03:
                row[2] = "misc"                     # unknown category
            elif flaw < 0.035:
                row[1] = "2026-02-31"               # malformed date
            elif flaw < 0.04:
                row[3] = "XXX"                      # unknown currency
            f.write(",".join(row) + "\n")


def open_db(path):
    db = cu.SQLiteDB(path)
    db.query("PRAGMA journal_mode = WAL")      # a commit per statement stays cheap
    db.execute("PRAGMA synchronous = NORMAL")
    db.execute("CREATE TABLE IF NOT EXISTS orders (biz_date TEXT, order_id INTEGER, day TEXT,"
               " category TEXT, currency TEXT, amount REAL, amount_eur REAL,"
               " PRIMARY KEY (biz_date, order_id))")
    db.execute("CREATE TABLE IF NOT EXISTS rejects (biz_date TEXT, line INTEGER, reason TEXT, raw TEXT)")
    return db


def main():
    args = cu.init_parser("The daily orders job", task_name="orders", callback_fn=job_options)
    args.biz_date = args.biz_date or cu.yesterday_date
    if not args.trace_memory:
        # The import started memory tracing for the whole process; this job
        # reads none of it, so it stops paying for it here.
        tracemalloc.stop()

    # Logging: the job's logger and every logger of the module write to one file per day.
    os.makedirs(args.log_dir, exist_ok=True)
    log_file = os.path.abspath(os.path.join(args.log_dir, "orders_{}.log".format(args.biz_date)))
    logger = cu.get_logger("orders_job")
    cu.add_logger_file(log_file)
    cu.set_logger_level("DEBUG" if args.debug else args.log_level)

    input_file = os.path.abspath("orders_{}.csv".format(args.biz_date))
    make_orders(input_file, args.records, args.seed, args.biz_date, args.shared)
    db_file = os.path.abspath(args.db_file)
    db = open_db(db_file)

    # The steps read their settings from the pipeline section: the command line
    # has the last word on the ones it can change.
    args.pipeline.update(concurrent=args.concurrent, batch_size=args.batch_size)
    pipeline = cu.ContextProcessor(
        model_args=args, model_args_ref="pipeline", processors_ref="steps",
        module_ref="order_steps", name="orders", return_exceptions=True)
    if not pipeline.init():
        logger.error("the pipeline did not initialise")
        return 1

    times = {}
    counts = pipeline.process(input_file, time_cost=times, settings=args, db=db)

    report = build_report(args, db, counts, times, input_file, log_file, db_file)
    print(report["text"])
    if args.notify_url:
        cu.send_notice_kv(report["summary"], args.notify_url,
                          begin_info="orders job {}".format(args.biz_date), end_info="done")
    db.close()
    return 0


def build_report(args, db, counts, times, input_file, log_file, db_file):
    day = args.biz_date
    total, amount = db.query("SELECT COUNT(*), ROUND(COALESCE(SUM(amount_eur), 0), 2) FROM orders"
                             " WHERE biz_date = ?", (day,))[0]
    rejected = db.query("SELECT COUNT(*) FROM rejects WHERE biz_date = ?", (day,))[0][0]
    reasons = db.query("SELECT reason, COUNT(*) AS n FROM rejects WHERE biz_date = ?"
                       " GROUP BY reason ORDER BY n DESC, reason", (day,))
    by_category = db.query("SELECT category, COUNT(*), ROUND(SUM(amount_eur), 2) FROM orders"
                           " WHERE biz_date = ? GROUP BY category ORDER BY category", (day,))
    routed = total + rejected
    cut = args.records - routed
    info = order_steps().eur_rate.cache_info()
    lines = [
        "orders job {}{}".format(day, " (concurrent)" if args.concurrent else ""),
        "  records in      {:>8}".format(args.records),
        "  records out     {:>8}   {:>12.2f} EUR".format(total, amount),
        "  rejected        {:>8}".format(rejected),
    ]
    if cut:
        lines.append("  cut at limit    {:>8}   (max_records={})".format(cut, args.max_records))
    lines += ["    {:<30} {:>5}".format(r[0][:30], r[1]) for r in reasons]
    lines.append("  by category")
    lines += ["    {:<12} {:>6} {:>12.2f} EUR".format(*row) for row in by_category]
    lines.append("  step times (s)")
    for name, seconds in sorted(times.items(), key=lambda kv: -kv[1])[:8]:
        lines.append("    {:<36} {:>8.4f}".format(name, seconds))
    lines.append("  rate cache      hits={} misses={} size={}/{}".format(
        info.hits, info.misses, info.currsize, info.maxsize))
    lines.append("  memory tracing  {}".format(
        "on" if tracemalloc.is_tracing() else
        "off (COMMON_UTILS_TRACEMALLOC=0)" if args.trace_memory else
        "off (stopped after the import; --trace_memory keeps it)"))
    lines.append("  stored {} / rejected {} by the store step".format(counts["stored"], counts["rejected"]))
    lines.append("  input    {}".format(input_file))
    lines.append("  database {}".format(db_file))
    lines.append("  log      {}".format(log_file))
    summary = {"records_in": args.records, "records_out": total, "rejected": rejected,
               "cut": cut, "amount_eur": amount, "labels": args.labels or None}
    return {"text": "\n".join(lines), "summary": summary}


def order_steps():
    return sys.modules["order_steps"]


if __name__ == "__main__":
    sys.exit(main())
