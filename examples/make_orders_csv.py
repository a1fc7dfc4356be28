"""Writes examples/data/orders.csv: a few thousand realistic order rows of
mixed types, with some empty and some unreadable cells. Deterministic."""

import csv
import random
import sys
from pathlib import Path

CITIES = ["Lisbon", "Zürich", "Kraków", "São Paulo", "Osaka", "Nairobi", "Austin", "Reykjavík"]
PRODUCTS = [
    "espresso beans",
    "oat milk",
    "grinder, burr",
    'mug "classic"',
    "filter papers",
    "kettle",
    "scale",
    "cold brew kit",
]


def rows(count: int, rng: random.Random):
    for order_id in range(1, count + 1):
        quantity = str(rng.randint(1, 12))
        if rng.random() < 0.01:
            quantity = ""
        if order_id > 1500 and rng.random() < 0.01:
            # A later part of the export wrote words; the type is fixed by then.
            quantity = rng.choice(["n/a", "twelve"])
        price = f"{rng.uniform(1, 400):.2f}"
        if rng.random() < 0.02:
            price = ""
        customer_id = str(rng.randint(10**9, 10**10))  # beyond 32 bits: a Long column
        paid = rng.choice(["true", "false", "TRUE", "False"])
        if rng.random() < 0.01:
            paid = ""
        note = rng.choice(["", "", "", "gift wrap", "call before delivery\nring twice", "fragile"])
        yield [
            str(order_id),
            f"2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T{rng.randint(0, 23):02d}:"
            f"{rng.randint(0, 59):02d}:00Z",
            customer_id,
            rng.choice(CITIES),
            rng.choice(PRODUCTS),
            quantity,
            price,
            f"{rng.gauss(0, 1):.6e}",
            paid,
            note,
        ]


def main() -> None:
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent / "data/orders.csv"
    rng = random.Random(20261207)
    with target.open("w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle, lineterminator="\n")
        writer.writerow(
            [
                "order_id",
                "ordered_at",
                "customer_id",
                "city",
                "product",
                "quantity",
                "unit_price",
                "score",
                "paid",
                "note",
            ]
        )
        writer.writerows(rows(4000, rng))


if __name__ == "__main__":
    main()
