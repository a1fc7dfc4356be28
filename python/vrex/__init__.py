"""Convert CSV bytes into a complete VREX binary table file."""

from _vrex import csv_to_vrex

__all__ = ["csv_to_vrex"]
