"""What the network faces share: a camera device with its lease, and device errors."""
