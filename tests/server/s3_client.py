"""An ordinary S3 client (boto3, signing every request) against the gateway,
with credentials it made up: what a user's backup tool does.

    s3_client.py ENDPOINT   -> prints one JSON line of what happened
"""
import json
import sys

import boto3
from botocore.config import Config


def main():
    endpoint = sys.argv[1]
    s3 = boto3.client("s3", endpoint_url=endpoint, aws_access_key_id="made-up", aws_secret_access_key="also-made-up",
                      region_name="us-east-1", config=Config(signature_version="s3v4", retries={"max_attempts": 1}))
    result = {}
    key = "Phone_0a1b/2024/05/17/IMG 0001.jpg"
    body = bytes(range(256)) * 4096
    s3.put_object(Bucket="photos", Key=key, Body=body, ContentType="image/jpeg")
    listed = s3.list_objects_v2(Bucket="photos")
    result["listed"] = [o["Key"] for o in listed.get("Contents", [])]
    result["read_back"] = s3.get_object(Bucket="photos", Key=key)["Body"].read() == body
    s3.delete_object(Bucket="photos", Key=key)
    result["after_delete"] = [o["Key"] for o in s3.list_objects_v2(Bucket="photos").get("Contents", [])]
    print(json.dumps(result))


if __name__ == "__main__":
    main()
