"""The team wing: the counted events as a Parquet tree (`export`), and
reports over such trees from one machine or many (`query`)."""
