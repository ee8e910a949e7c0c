"""orlicam: call-by-call access to ZWO ASI cameras, with a simulated camera SDK."""
