"""Generates the benchmark's CSV data sets, seeded so every run gets the same bytes.

    python bench/python/make_data.py --out build/bench-data --size-mb 100 \
        numeric text mixed wide trips

Each set is written as NAME-SIZEmb.csv with a NAME-SIZEmb.json beside it (rows,
bytes, sha256, generator version); a set whose description matches is not
written again.

- numeric: 12 columns: int32- and int64-range integers, doubles in fixed,
  shortest round-trip and exponent notation, a true/false column.
- text: 8 string columns; about a third of the cells are quoted because they
  hold commas, doubled quotes or line breaks; names and cities carry non-ASCII.
- mixed: a service log: timestamps as text, integers, two-decimal amounts,
  short categories, about 5% empty cells.
- wide: 200 numeric columns, integers and doubles.
- trips: a trip log of 16 columns: text timestamps and categories, small
  integers, two-decimal amounts, about 5% empty cells in every column.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import random
import sys
from collections.abc import Callable, Iterator
from pathlib import Path

# Bump when the bytes of any set change, so cached files are written again.
GENERATOR_VERSION = 1
SEEDS = {"numeric": 11, "text": 23, "mixed": 37, "wide": 41, "trips": 53}
ROWS_PER_BLOCK = 2000


def quote(text: str) -> str:
    """The CSV form of one field: quoted when it holds a comma, quote or line break."""
    if any(c in text for c in ',"\n\r'):
        return '"' + text.replace('"', '""') + '"'
    return text


# --- numeric ---------------------------------------------------------------

NUMERIC_HEADER = [
    "id", "quantity", "delta", "code", "timestamp_ms", "size_bytes",
    "nonce", "price", "ratio", "rate", "measure", "active",
]  # fmt: skip


def signed_spread(rng: random.Random, bits: int) -> int:
    """An integer of `bits` magnitude bits at most, its length spread evenly, a third negative."""
    magnitude = rng.getrandbits(bits) >> rng.randrange(bits)
    return -magnitude if rng.random() < 0.33 else magnitude


def measure_text(rng: random.Random) -> str:
    """A measurement as different exports print one."""
    value = rng.uniform(-5000.0, 5000.0) * 10.0 ** rng.randrange(-6, 6)
    match rng.randrange(6):
        case 0:
            return f"{value:.3f}"
        case 1:
            return f"{value:g}"
        case 2:
            return f"{value:.6E}"
        case 3:
            return str(round(value))  # a whole value printed as an integer
        case 4:
            return repr(value)
        case _:
            return f"{value:.2e}"


def numeric_rows(rng: random.Random) -> Iterator[str]:
    row_id = 0
    timestamp = 1_700_000_000_000
    while True:
        row_id += 1
        timestamp += rng.randrange(1, 5000)
        yield ",".join((
            str(row_id),
            str(rng.randrange(1000)),
            str(signed_spread(rng, 31)),
            str(rng.randrange(2**31)),
            str(timestamp),
            str(rng.getrandbits(50) >> rng.randrange(40)),
            str(rng.randrange(-(2**63), 2**63)),
            f"{rng.randrange(100, 10_000_000) / 100:.2f}",
            repr(rng.random()),
            f"{rng.random() * 10.0 ** rng.randrange(-9, 3):.4e}",
            measure_text(rng),
            "true" if rng.random() < 0.5 else "false",
        ))  # fmt: skip


# --- text ------------------------------------------------------------------

TEXT_HEADER = ["name", "email", "city", "company", "address", "comment", "product", "tag"]

FIRST_NAMES = [
    "Anna", "José", "Zoë", "Łukasz", "Søren", "Mei", "Oluwaseun", "Ingrid", "Mateo",
    "Aïcha", "Björn", "Priya", "Dmitri", "Chloé", "Kenji", "Fatma", "Liam", "Nguyễn",
    "Ravi", "Émile", "Sven", "Hana", "Omar", "Grace",
]  # fmt: skip
LAST_NAMES = [
    "Müller", "García", "Dvořák", "O'Brien", "Smith", "Kowalski", "Øvergaard", "Tanaka",
    "Johnson", "Nakamura", "Ólafsson", "Rossi", "Schäfer", "Lee", "Novák", "Brown",
    "Jiménez", "Wójcik", "Haddad", "Kim",
]  # fmt: skip
HANDLES = ["anna", "jose", "zoe", "lukasz", "soren", "mei", "ola", "ingrid", "mateo", "bjorn"]
DOMAINS = ["example.com", "mail.example.org", "corp.example.net", "uni.example.edu"]
CITIES = [
    ("São Paulo", "Brazil"), ("Zürich", "Switzerland"), ("Kraków", "Poland"),
    ("Москва", "Россия"), ("東京", "日本"), ("Reykjavík", "Iceland"), ("Montréal", "Canada"),
    ("Lyon", "France"), ("Austin", "USA"), ("München", "Deutschland"), ("Łódź", "Poland"),
    ("Dublin", "Ireland"), ("Αθήνα", "Ελλάδα"), ("Cairo", "Egypt"), ("Seoul", "Korea"),
]  # fmt: skip
COMPANY_WORDS = ["Acme", "Globex", "Initech", "Umbrella", "Stark", "Wayne", "Hooli", "Vandelay"]
STREETS = ["Main St", "Elm Street", "Rue de la Paix", "Königstraße", "Via Roma", "Calle Mayor"]
WORDS = (
    "the order arrived late but the box was intact and support answered quickly "
    "price was fair quality could be better will buy again size runs small "
    "colour differs from the photo great value delivery took two weeks"
).split()
TAGS = ["new", "returning", "vip", "wholesale", "promo", "gift", "b2b", "retail", "trial"]


def comment_text(rng: random.Random) -> str:
    words = rng.sample(WORDS, rng.randrange(4, 14))
    if rng.random() < 0.5:
        words.insert(rng.randrange(len(words)), "—")
    text = " ".join(words)
    roll = rng.random()
    if roll < 0.3:
        cut = rng.randrange(1, len(words))
        text = " ".join(words[:cut]) + ", " + " ".join(words[cut:])
    elif roll < 0.5:
        text = f'she said "{text}"'
    elif roll < 0.65:
        text = text + ".\n" + " ".join(rng.sample(WORDS, 5))
    if rng.random() < 0.05:
        text += " 👍"
    return text.capitalize()


def company_text(rng: random.Random) -> str:
    word = rng.choice(COMPANY_WORDS)
    match rng.randrange(6):
        case 0:
            return f"{word}, Inc."
        case 1:
            return f'{word} "{rng.choice(COMPANY_WORDS)}" Holdings'
        case 2:
            return f"{word} & {rng.choice(COMPANY_WORDS)}, Ltd"
        case _:
            return f"{word} {rng.choice(['GmbH', 'SA', 'LLC', 'AB', 'Oy'])}"


def address_text(rng: random.Random) -> str:
    street = f"{rng.randrange(1, 400)} {rng.choice(STREETS)}"
    roll = rng.random()
    if roll < 0.1:
        return f"{street}\r\nSuite {rng.randrange(1, 90)}"
    if roll < 0.6:
        return f"{street}, Apt {rng.randrange(1, 60)}"
    return street


def text_rows(rng: random.Random) -> Iterator[str]:
    while True:
        first, last = rng.choice(FIRST_NAMES), rng.choice(LAST_NAMES)
        city, country = rng.choice(CITIES)
        tag = rng.choice(TAGS)
        yield ",".join(map(quote, (
            f"{last}, {first}" if rng.random() < 0.33 else f"{first} {last}",
            f"{rng.choice(HANDLES)}.{rng.randrange(10_000)}@{rng.choice(DOMAINS)}",
            f"{city}, {country}" if rng.random() < 0.33 else city,
            company_text(rng),
            address_text(rng),
            comment_text(rng),
            f"SKU-{rng.randrange(100_000):05d}-{rng.choice('ABCDEFGH')}",
            f'{tag} "{rng.choice("SML")}"' if rng.random() < 0.1 else tag,
        )))  # fmt: skip


# --- mixed -----------------------------------------------------------------

MIXED_HEADER = [
    "timestamp", "level", "service", "method", "status", "latency_ms",
    "response_bytes", "amount", "user_id", "region", "path",
]  # fmt: skip
LEVELS = ["INFO"] * 12 + ["DEBUG"] * 4 + ["WARN"] * 3 + ["ERROR"]
SERVICES = ["auth", "api", "billing", "search", "cart", "media", "mail"]
METHODS = ["GET"] * 6 + ["POST"] * 3 + ["PUT", "DELETE"]
STATUSES = [200] * 20 + [201, 204, 301, 304, 400, 401, 403, 404, 404, 500, 502, 503]
REGIONS = ["eu-west", "eu-north", "us-east", "us-west", "ap-south", "sa-east"]
PATHS = ["/api/v1/items/", "/api/v1/users/", "/static/img/", "/checkout/", "/search?q="]


def timestamp_text(seconds: int, millis: int) -> str:
    days, rest = divmod(seconds, 86400)
    hours, rest = divmod(rest, 3600)
    minutes, secs = divmod(rest, 60)
    # Months of 28 days keep the arithmetic short; the text is what matters.
    month, day = divmod(days, 28)
    date = f"2024-{month % 12 + 1:02d}-{day + 1:02d}"
    return f"{date}T{hours:02d}:{minutes:02d}:{secs:02d}.{millis:03d}Z"


def mixed_rows(rng: random.Random) -> Iterator[str]:
    seconds = 0
    while True:
        seconds += rng.randrange(0, 3)
        cells = [
            timestamp_text(seconds, rng.randrange(1000)),
            rng.choice(LEVELS),
            rng.choice(SERVICES),
            rng.choice(METHODS),
            str(rng.choice(STATUSES)),
            str(int(rng.expovariate(1 / 80.0))),
            str(rng.randrange(200, 2_000_000)),
            f"{rng.expovariate(1 / 40.0):.2f}",
            str(rng.randrange(1, 5_000_000)),
            rng.choice(REGIONS),
            f"{rng.choice(PATHS)}{rng.randrange(100_000)}",
        ]
        for index in range(1, len(cells)):  # the timestamp is always there
            if rng.random() < 0.055:
                cells[index] = ""
        yield ",".join(cells)


# --- trips -----------------------------------------------------------------

TRIPS_HEADER = [
    "vendor", "pickup_at", "dropoff_at", "passengers", "distance", "rate_code",
    "store_and_forward", "pickup_zone", "dropoff_zone", "payment", "fare", "extra",
    "tax", "tip", "tolls", "total",
]  # fmt: skip
VENDORS = ["V1", "V2", "V3"]


def trip_time_text(seconds: int) -> str:
    days, rest = divmod(seconds, 86400)
    hours, rest = divmod(rest, 3600)
    minutes, secs = divmod(rest, 60)
    return f"2024-03-{days % 28 + 1:02d} {hours:02d}:{minutes:02d}:{secs:02d}"


def trips_rows(rng: random.Random) -> Iterator[str]:
    seconds = 0
    while True:
        seconds += rng.randrange(0, 4)
        duration = int(rng.expovariate(1 / 900.0)) + 30
        distance = rng.expovariate(1 / 3.0)
        fare = 2.5 + distance * 2.5 + duration / 60 * 0.5
        tip = fare * rng.choice([0, 0, 0.1, 0.15, 0.2, 0.25])
        tolls = rng.choice([0.0] * 9 + [6.55])
        cells = [
            rng.choice(VENDORS),
            trip_time_text(seconds),
            trip_time_text(seconds + duration),
            str(rng.choice([1, 1, 1, 1, 2, 2, 3, 4, 5, 6])),
            f"{distance:.2f}",
            str(rng.choice([1] * 20 + [2, 3, 4, 5])),
            rng.choice(["N"] * 30 + ["Y"]),
            str(rng.randrange(1, 266)),
            str(rng.randrange(1, 266)),
            str(rng.choice([1, 1, 1, 2, 2, 3, 4])),
            f"{fare:.2f}",
            f"{rng.choice([0, 0.5, 1, 2.5]):.2f}",
            "0.50",
            f"{tip:.2f}",
            f"{tolls:.2f}",
            f"{fare + tip + tolls + 0.5:.2f}",
        ]
        for index in range(len(cells)):
            if rng.random() < 0.05:
                cells[index] = ""
        yield ",".join(cells)


# --- wide ------------------------------------------------------------------

WIDE_COLUMNS = 200
WIDE_HEADER = [f"c{index:03d}" for index in range(WIDE_COLUMNS)]


def wide_rows(rng: random.Random) -> Iterator[str]:
    randrange, random_ = rng.randrange, rng.random
    cell_makers: list[Callable[[], str]] = [
        lambda: str(randrange(100)),
        lambda: str(randrange(-1_000_000, 1_000_000)),
        lambda: f"{random_() * 1000:.2f}",
        lambda: f"{random_() * 10:.4f}",
    ]
    makers = [cell_makers[index % 4] for index in range(WIDE_COLUMNS)]
    while True:
        yield ",".join([make() for make in makers])


SETS: dict[str, tuple[list[str], Callable[[random.Random], Iterator[str]]]] = {
    "numeric": (NUMERIC_HEADER, numeric_rows),
    "text": (TEXT_HEADER, text_rows),
    "mixed": (MIXED_HEADER, mixed_rows),
    "wide": (WIDE_HEADER, wide_rows),
    "trips": (TRIPS_HEADER, trips_rows),
}


def data_path(out: Path, name: str, size_mb: int) -> Path:
    return out / f"{name}-{size_mb}mb.csv"


def generate(out: Path, name: str, size_mb: int) -> dict:
    """Writes one data set (unless an identical one is there) and returns its description."""
    path = data_path(out, name, size_mb)
    info_path = path.with_suffix(".json")
    wanted = {"name": name, "size_mb": size_mb, "seed": SEEDS[name], "version": GENERATOR_VERSION}
    if path.exists() and info_path.exists():
        info = json.loads(info_path.read_text())
        if all(info.get(key) == value for key, value in wanted.items()):
            return info

    header, rows = SETS[name]
    target = size_mb * 1_000_000
    digest = hashlib.sha256()
    row_count = 0
    row_source = rows(random.Random(SEEDS[name]))
    with open(path, "wb") as file:
        block = [(",".join(header) + "\n").encode()]
        written = len(block[0])
        while written < target:
            line = (next(row_source) + "\n").encode()
            block.append(line)
            written += len(line)
            row_count += 1
            if len(block) == ROWS_PER_BLOCK or written >= target:
                joined = b"".join(block)
                digest.update(joined)
                file.write(joined)
                block = []
    info = {**wanted, "rows": row_count, "bytes": written, "sha256": digest.hexdigest()}
    info_path.write_text(json.dumps(info, indent=1) + "\n")
    return info


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--size-mb", type=int, default=100)
    parser.add_argument("sets", nargs="*", choices=list(SETS), help="default: all")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    for name in args.sets or list(SETS):
        info = generate(args.out, name, args.size_mb)
        print(f"{name}: {info['bytes'] / 1e6:.1f} MB, {info['rows']} rows", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
